// The VGPI C codec as a receiver uses it: the frame header, then the items walked one after
// another, each read only once its length is known to lie inside the bytes received. Every item
// and header field read is written back with the matching writer and must give the same bytes.

#include "fuzz-input.h"
#include "vgpi-api.h"

#include <cstring>
#include <vector>

namespace {

// The bytes an item of this type needs before its length can be known.
size_t head_size(int type)
{
    switch (type) {
    case VGPI_ITEM_UINT16:
    case VGPI_ITEM_STRING:
    case VGPI_ITEM_SEQUENCE:
        return 3;
    case VGPI_ITEM_INT32:
        return 5;
    default:
        return 1;
    }
}

void header_round_trip(const unsigned char *frame)
{
    unsigned char copy[8];
    std::memcpy(copy, frame, 8);
    vgpi_set_packet_size(copy, vgpi_get_packet_size(frame));
    vgpi_set_packet_type(copy, vgpi_get_packet_type(frame));
    FUZZ_CHECK(vgpi_get_packet_type(frame) >= -128 && vgpi_get_packet_type(frame) <= 127);
    vgpi_set_type_specific(copy, vgpi_get_type_specific(frame));
    FUZZ_CHECK(std::memcmp(copy, frame, 8) == 0);
    FUZZ_CHECK(vgpi_check_handshake(frame) == (std::memcmp(frame, vgpi_handshake, 8) == 0));
}

// Writes the item read from item (len bytes) back and compares.
void item_round_trip(const unsigned char *item, size_t len)
{
    std::vector<unsigned char> out(len);
    int written = 0;
    switch (vgpi_get_type(item)) {
    case VGPI_ITEM_UINT16:
        written = vgpi_write_uint16(out.data(), vgpi_read_uint16(item));
        break;
    case VGPI_ITEM_INT32:
        written = vgpi_write_int32(out.data(), vgpi_read_int32(item));
        break;
    case VGPI_ITEM_STRING: {
        unsigned char *data = nullptr;
        const int n = vgpi_read_binary(item, &data);
        FUZZ_CHECK(n >= 0 && size_t(n) + 3 == len);
        written = vgpi_write_binary(out.data(), data, n);
        std::free(data);
        // The string writer measures with strlen, so only text without a NUL comes back whole.
        char *text = vgpi_read_string(item);
        FUZZ_CHECK(std::memcmp(text, item + 3, len - 3) == 0 && text[len - 3] == '\0');
        if (std::strlen(text) == len - 3) {
            std::vector<unsigned char> again(len);
            FUZZ_CHECK(vgpi_write_string(again.data(), text) == int(len));
            FUZZ_CHECK(again == out);
        }
        std::free(text);
        break;
    }
    case VGPI_ITEM_SEQUENCE:
        vgpi_write_sequence_hdr(out.data(), vgpi_read_uint16_raw(item + 1));
        std::memcpy(out.data() + 3, item + 3, len - 3);
        written = int(len);
        break;
    default:
        out[0] = item[0];
        written = 1;
        break;
    }
    FUZZ_CHECK(written == int(len));
    FUZZ_CHECK(std::memcmp(out.data(), item, len) == 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly the received bytes on the heap, so that a read past them is caught.
    const std::vector<unsigned char> bytes(data, data + size);
    if (size < 8)
        return 0;
    header_round_trip(bytes.data());
    size_t pos = 8;
    while (pos < size) {
        const unsigned char *item = bytes.data() + pos;
        if (size - pos < head_size(vgpi_get_type(item)))
            break;
        const int len = vgpi_get_len(item);
        FUZZ_CHECK(len >= 1 && len <= 3 + 65535);
        if (size_t(len) > size - pos)
            break;
        item_round_trip(item, size_t(len));
        pos += size_t(len);
    }
    return 0;
}
