// Kp28FWUpdate: loads firmware into a USB-attached KP28 printer, reboots it or
// records its USB identifier, one job per run.
#include <curl/curl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "interruption.h"
#include "updater.h"

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread the run starts shares
    // the handlers and the ignored SIGPIPE.
    fwupdate::install_interruption_handlers();
    // libcurl's global start-up must run once before any other thread exists;
    // it is the only start-up step here that can fail.
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        std::fputs("Fatal Error: MFC initialization failed\n", stderr);
        return 1;
    }
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    const int rc = fwupdate::run_updater(args);
    std::fflush(stdout);
    curl_global_cleanup();
    return rc;
}
