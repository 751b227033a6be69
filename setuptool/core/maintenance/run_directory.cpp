#include "kp28setup/maintenance.h"

namespace kp28setup {

RunDirectory::~RunDirectory() {}

}  // namespace kp28setup
