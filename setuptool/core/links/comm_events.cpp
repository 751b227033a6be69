#include "kp28setup/comm_events.h"

#include "kp28setup/serial_port.h"

namespace kp28setup {

std::string comm_status_text(int comm_event) {
    switch (comm_event) {
        case kEvCts:
            return "Rilevata modifica in CTS";
        case kEvDsr:
            return "Rilevata modifica in DSR";
        case kEvCd:
            return "Rilevata modifica in CD";
        case kEvRing:
            return "Il telefono sta squillando";
        case kEvEof:
            return "Raggiunta la fine del file";
        default:
            return "";
    }
}

std::optional<std::string> comm_error_text(int comm_event) {
    switch (comm_event) {
        case kEvBreak:
            return "BREAK";
        case kEvCtsTimeout:
            return "CTS TimeOut";
        case kEvDsrTimeout:
            return "DSR TimeOut";
        case kEvFrame:
            return "Frame";
        case kEvOverrun:
            return "Overrun";
        case kEvCdTimeout:
            return "CD TimeOut";
        case kEvRxOver:
            return "Overflow";
        case kEvRxParity:
            return "Parity";
        case kEvTxFull:
            return "TxBuffer Full";
        case kEvDcb:
        case kEvSend:
        case kEvReceive:
            return std::nullopt;
        case kEvCd:
            return "";
        default:
            return "Unknown";
    }
}

}  // namespace kp28setup
