// Status-to-catalogue mapping of the HTTP transport: see status.h.
#include "transport/status.h"

#include <cstdint>

namespace zel::transport {

unsigned TransportMessageId(HRESULT status) {
    switch (ResultBits(status)) {
        case 0x802080FA:
            return 101;
        case 0x802080FB:
            return 102;
        case 0x802080FC:
            return 103;
        case 0x802080FD:
            return 104;
        case 0x802080FE:
            return 105;
        case 0x802080FF:
            return 106;
        case 0x80208100:
            return 107;
        case 0x80208101:
            return 108;
        case 0x80208102:
            return 109;
        case 0x80208103:
            return 110;
        case 0x801F80C8:
            return 111;
        case 0x802080C9:
            return 112;
        case 0x801F80CA:
            return 113;
        case 0x801F80CB:
            return 114;
        case 0x801F80CC:
            return 115;
        case 0x802080CD:
            return 116;
        case 0x802080CE:
            return 117;
        case 0x802080CF:
            return 118;
        case 0x802080D0:
            return 119;
        case 0x802080D1:
            return 120;
        case 0x802180D2:
            return 121;
        case 0x802180D3:
            return 122;
        case 0x802180D4:
            return 123;
        case 0x802480D5:
            return 124;
        case 0x802480D6:
            return 125;
        case 0x802480D7:
            return 152;
        case 0x802480D8:
            return 280;
        case 0x801F811D:
            return 225;
        case 0x8020811E:
            return 223;
        default:
            return 0;
    }
}

}  // namespace zel::transport
