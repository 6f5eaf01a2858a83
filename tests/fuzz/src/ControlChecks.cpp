#include "ControlChecks.h"

#include <libusb.h>

#include "tessoral/tessoral.h"

namespace fuzz {

namespace {

constexpr size_t kAckBuffer = 1024;

struct Header {
    bool present = false;
    uint32_t prefix = 0;
    uint16_t status = 0, commandId = 0, requestId = 0;
};

Header header(const Answer& a) {
    Header h;
    if (a.result < 12) return h;
    h.present = true;
    h.prefix = le32(a.bytes.data());
    h.status = le16(a.bytes.data() + 4);
    h.commandId = le16(a.bytes.data() + 6);
    h.requestId = le16(a.bytes.data() + 10);
    return h;
}

// An acknowledge a transaction may read past: a pending one, or (where the channel keeps
// in step with late answers) the answer to one of the requests just before.
bool passable(const Answer& a, uint16_t requestId) {
    const Header h = header(a);
    if (!h.present || h.prefix != kU3vcPrefix) return false;
    if (h.commandId == 0x0805) return true;
    const auto back = static_cast<uint16_t>(requestId - h.requestId);
    return (h.commandId == 0x0801 || h.commandId == 0x0803) && back >= 1 && back <= 64;
}

// The promise behind the outcome of the acknowledge that ended a transaction.
void checkFinalAck(const Answer& a, const SentCommand& c, bool read, uint16_t status) {
    const uint16_t expectAckId = read ? 0x0801 : 0x0803;
    const Header h = header(a);
    const bool prefixOk = h.present && h.prefix == kU3vcPrefix;
    const bool commandOk = prefixOk && h.commandId == expectAckId;
    const bool idOk = commandOk && h.requestId == c.requestId;
    const size_t readLength = c.readLength + 12u;
    if (status == U3V_OK) {
        FUZZ_CHECK(idOk && h.status == 0, "accepted ack %04X id %u for command %04X id %u",
                   h.commandId, h.requestId, c.commandId, c.requestId);
        if (read)
            FUZZ_CHECK(static_cast<size_t>(a.result) == readLength,
                       "accepted read ack of %d bytes, %zu expected", a.result, readLength);
        return;
    }
    // A camera may report any status, the library's own codes included.
    if (idOk && h.status == status) return;
    switch (status) {
        case U3V_ERR_USB_TRANSFER:
            // A failed transfer, or a wait given up on after acks that were no answer.
            FUZZ_CHECK(a.result < 0 || passable(a, c.requestId), "0x800B on a transfer that worked");
            break;
        case U3V_ERR_DEVICE_GONE:
            FUZZ_CHECK(a.result == LIBUSB_ERROR_NO_DEVICE, "camera gone on a read that said %d",
                       a.result);
            break;
        case U3V_ERR_ACK_LENGTH:
            FUZZ_CHECK(a.result >= 0, "length error on a failed transfer");
            FUZZ_CHECK(a.result < 12 || (read && static_cast<size_t>(a.result) != readLength) ||
                           (!read && a.result > 16),
                       "ack of %d bytes refused for its length", a.result);
            break;
        case U3V_ERR_ACK_PREFIX:
            FUZZ_CHECK(h.present && !prefixOk, "prefix error on a good prefix");
            break;
        case U3V_ERR_ACK_COMMAND:
            FUZZ_CHECK(prefixOk && h.commandId != expectAckId, "command error on %04X",
                       h.commandId);
            break;
        case U3V_ERR_ACK_REQUEST_ID:
            FUZZ_CHECK(commandOk && h.requestId != c.requestId, "request id error on id %u",
                       h.requestId);
            break;
        default:
            FUZZ_CHECK(false, "status %04X is neither the library's nor the camera's (%04X)",
                       status, h.status);
    }
}

}  // namespace

void checkTransactions(const ScriptedCamera& cam, size_t first, uint16_t firstId,
                       uint16_t status) {
    if (cam.commands.size() <= first) {
        FUZZ_CHECK(status != U3V_OK, "success without a command");
        return;
    }
    uint16_t id = firstId;
    for (size_t k = first; k < cam.commands.size(); ++k, ++id) {
        const SentCommand& c = cam.commands[k];
        const bool last = k + 1 == cam.commands.size();
        const uint16_t expect = last ? status : U3V_OK;
        FUZZ_CHECK(c.wellFormed, "malformed command %zu", k);
        FUZZ_CHECK(c.requestId == id, "request id %u, %u expected", c.requestId, id);
        const bool read = c.commandId == 0x0800;
        FUZZ_CHECK(read || c.commandId == 0x0802, "command id %04X", c.commandId);
        FUZZ_CHECK(read || c.data.size() <= 1036, "write of %zu bytes", c.data.size());

        const std::vector<const Answer*> answers = cam.answersOf(k);
        FUZZ_CHECK(!answers.empty(), "command %zu got no acknowledge read", k);
#ifdef U3V_MAX_ACKS_PER_TRANSACTION
        FUZZ_CHECK(answers.size() <= U3V_MAX_ACKS_PER_TRANSACTION, "%zu acks read",
                   answers.size());
#endif
        for (const Answer* a : answers) {
            FUZZ_CHECK(a->asked <= static_cast<int>(kAckBuffer), "asked for %d", a->asked);
            FUZZ_CHECK(a->asked >= (read ? c.readLength + 12 : 12), "asked for %d", a->asked);
            // 0 would be for ever to libusb.
            FUZZ_CHECK(a->timeoutMs != 0, "an acknowledge wait without end");
#ifdef U3V_MAX_ACK_WAIT_MS
            FUZZ_CHECK(a->timeoutMs <= U3V_MAX_ACK_WAIT_MS, "waited %u ms", a->timeoutMs);
#endif
        }
        // Every acknowledge but the last was one to read past; after a pending one, the
        // wait is no longer than the camera asked for.
        for (size_t i = 0; i + 1 < answers.size(); ++i) {
            const Answer& a = *answers[i];
            FUZZ_CHECK(passable(a, c.requestId), "read on after acknowledge %zu", i);
            if (header(a).commandId != 0x0805 || a.result < 16) continue;
            unsigned asked = le16(a.bytes.data() + 14);
            if (asked == 0) asked = 3000;  // the USB layer's stand-in for "no time-out"
#ifdef U3V_MAX_ACK_WAIT_MS
            if (asked > U3V_MAX_ACK_WAIT_MS) asked = U3V_MAX_ACK_WAIT_MS;
#endif
            FUZZ_CHECK(answers[i + 1]->timeoutMs <= asked, "waited %u ms after a pending %u",
                       answers[i + 1]->timeoutMs, asked);
        }
        checkFinalAck(*answers.back(), c, read, expect);
    }
}

}  // namespace fuzz
