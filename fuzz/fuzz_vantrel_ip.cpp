// One datagram as vantrel-ip receives it, read as a request and matched against a unit's record.

#include "fuzz-input.h"
#include "vantrel-ip-request.h"

#include <cstring>
#include <vector>

namespace {
// recv() takes at most this much of a datagram.
const size_t RECEIVE_BUFFER = 1024;
const unsigned char OWN[VANTREL_RECORD_LEN] = { 0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
                                                192, 168, 0, 209, 192, 168, 0, 1,
                                                255, 255, 255, 0, 255, 255, 255, 255 };
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly the received bytes on the heap, so that a read past them is caught.
    const std::vector<unsigned char> datagram(data, data + qMin(size, RECEIVE_BUFFER));
    unsigned char request[VANTREL_RECORD_LEN];
    std::memset(request, 0xAA, sizeof request);
    if (!vantrel_read_request(datagram.data(), datagram.size(), request))
        return 0;
    FUZZ_CHECK(datagram.size() >= 1 && datagram.size() <= 30 && datagram[0] == 2);
    for (size_t i = 0; i < VANTREL_RECORD_LEN; ++i)
        FUZZ_CHECK(request[i] == (i + 1 < datagram.size() ? datagram[i + 1] : 0));
    const int action = vantrel_request_action(request, OWN);
    static const unsigned char none[6] = {};
    if (std::memcmp(request, none, 6) == 0)
        FUZZ_CHECK(action == VANTREL_ANNOUNCE);
    else if (std::memcmp(request, OWN, 6) == 0)
        FUZZ_CHECK(action == VANTREL_SET_ADDRESS);
    else
        FUZZ_CHECK(action == VANTREL_IGNORE);
    return 0;
}
