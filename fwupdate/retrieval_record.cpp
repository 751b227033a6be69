#include "retrieval_record.h"

#include <utility>

namespace fwupdate {

std::optional<RetrievalProtocol> protocol_from_name(std::string_view name) {
    if (name == "FTP") return RetrievalProtocol::ftp;
    if (name == "HTTP") return RetrievalProtocol::http;
    if (name == "SHARE") return RetrievalProtocol::share;
    return std::nullopt;
}

std::uint16_t default_port(RetrievalProtocol protocol) {
    switch (protocol) {
        case RetrievalProtocol::ftp:
            return 21;
        case RetrievalProtocol::http:
            return 80;
        case RetrievalProtocol::share:
            break;
    }
    return 0;
}

std::uint16_t port_from_text(RetrievalProtocol protocol, std::string_view text) {
    if (text.empty()) return default_port(protocol);
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Only the low 16 bits survive, so the digits can be folded in 16-bit
    // arithmetic without ever overflowing.
    std::uint16_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = static_cast<std::uint16_t>(value * 10u + static_cast<unsigned>(text[i] - '0'));
    return negative ? static_cast<std::uint16_t>(0u - value) : value;
}

RetrievalRecord make_retrieval_record(RetrievalProtocol protocol, std::string url,
                                      std::string_view port_text, std::string user,
                                      std::string password) {
    RetrievalRecord record;
    record.url = std::move(url);
    if (protocol != RetrievalProtocol::share) record.port = port_from_text(protocol, port_text);
    record.user = std::move(user);
    record.password = std::move(password);
    record.passive = protocol == RetrievalProtocol::ftp;
    return record;
}

}  // namespace fwupdate
