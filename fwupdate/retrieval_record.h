// What a retrieval layer needs to reach the firmware image: built once per run
// from the settings and handed to the layer's connect.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fwupdate {

// Where the image comes from; the one name of a protocol in the updater.
enum class RetrievalProtocol : int { ftp = 0, http = 1, share = 2 };

// "FTP", "HTTP" or "SHARE" (already in upper case); nothing for any other text.
std::optional<RetrievalProtocol> protocol_from_name(std::string_view name);

struct RetrievalRecord {
    std::string url{};       // SHARE: a file path
    std::uint16_t port = 0;  // the server port; 0 lets the protocol pick its own
    std::string user{};      // empty: anonymous FTP, no HTTP authentication
    std::string password{};
    bool passive = false;  // FTP: passive transfer (the data connection is opened by us)
};

// The default server port: 21 for FTP, 80 for HTTP, 0 for SHARE (not used).
std::uint16_t default_port(RetrievalProtocol protocol);

// The port setting read as a decimal number the way the C library's atoi does
// (leading blanks, an optional sign, the digits up to the first other character;
// none reads as 0), kept in 16 bits. An empty text gives the protocol's default.
std::uint16_t port_from_text(RetrievalProtocol protocol, std::string_view text);

// The record for the chosen protocol: FTP is always passive; SHARE carries no port.
RetrievalRecord make_retrieval_record(RetrievalProtocol protocol, std::string url,
                                      std::string_view port_text, std::string user,
                                      std::string password);

}  // namespace fwupdate
