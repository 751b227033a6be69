#include "kp28setup/senders.h"

namespace kp28setup {

TcpClient::~TcpClient() {
    close();
}

void TcpClient::close() {}

}  // namespace kp28setup
