#include "ControlChecks.h"

#include "tessoral/tessoral.h"

namespace fuzz {

namespace {

constexpr unsigned kUsbDefaultTimeoutMs = 3000;  // what a time-out of 0 becomes
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

// The promise behind the outcome of one acknowledge that ended a transaction.
void checkFinalAck(const Answer& a, const SentCommand& c, uint16_t expectAckId,
                   size_t expectLength, uint16_t status) {
    const Header h = header(a);
    const bool prefixOk = h.present && h.prefix == kU3vcPrefix;
    const bool commandOk = prefixOk && h.commandId == expectAckId;
    const bool idOk = commandOk && h.requestId == c.requestId;
    if (status == U3V_OK) {
        FUZZ_CHECK(idOk && h.status == 0, "accepted ack %04X id %u for command %04X id %u",
                   h.commandId, h.requestId, c.commandId, c.requestId);
        if (expectLength != 0)
            FUZZ_CHECK(static_cast<size_t>(a.result) == expectLength,
                       "accepted read ack of %d bytes, %zu expected", a.result, expectLength);
        return;
    }
    // A camera may report any status, the library's own codes included.
    if (idOk && h.status == status) return;
    switch (status) {
        case U3V_ERR_USB_TRANSFER:
            FUZZ_CHECK(a.result < 0, "0x800B on a transfer that worked");
            break;
        case U3V_ERR_ACK_LENGTH:
            FUZZ_CHECK(a.result >= 0, "length error on a failed transfer");
            FUZZ_CHECK(a.result < 12 ||
                           (expectLength != 0 && static_cast<size_t>(a.result) != expectLength),
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
                       uint16_t status, const std::function<unsigned(size_t)>& channelTimeoutMs) {
    // Answers are in order; walk them alongside the commands.
    size_t ans = 0;
    while (ans < cam.answers.size() && cam.answers[ans].command < first) ++ans;
    if (cam.commands.size() <= first) {
        FUZZ_CHECK(status != U3V_OK || cam.commands.size() == first, "no command sent");
        return;
    }
    uint16_t id = firstId;
    for (size_t k = first; k < cam.commands.size(); ++k, ++id) {
        const SentCommand& c = cam.commands[k];
        const bool last = k + 1 == cam.commands.size();
        const unsigned channelWait =
            channelTimeoutMs(k) == 0 ? kUsbDefaultTimeoutMs : channelTimeoutMs(k);
        const uint16_t expect = last ? status : U3V_OK;
        FUZZ_CHECK(c.wellFormed, "malformed command %zu", k);
        FUZZ_CHECK(c.requestId == id, "request id %u, %u expected", c.requestId, id);
        FUZZ_CHECK(ans < cam.answers.size() && cam.answers[ans].command == k,
                   "command %zu got no acknowledge read", k);

        if (c.commandId == 0x0800) {
            const Answer& a = cam.answers[ans++];
            FUZZ_CHECK(static_cast<size_t>(a.asked) == c.readLength + 12u && a.asked <= static_cast<int>(kAckBuffer),
                       "read of %u asked for %d", c.readLength, a.asked);
            FUZZ_CHECK(a.timeoutMs == channelWait, "read waited %u, not %u", a.timeoutMs, channelWait);
            checkFinalAck(a, c, 0x0801, c.readLength + 12u, expect);
        } else {
            FUZZ_CHECK(c.commandId == 0x0802, "command id %04X", c.commandId);
            FUZZ_CHECK(c.data.size() <= 1036, "write of %zu bytes", c.data.size());
            unsigned wait = channelWait;
            for (;;) {
                FUZZ_CHECK(ans < cam.answers.size() && cam.answers[ans].command == k,
                           "write transaction %zu ended without its acknowledge", k);
                const Answer& a = cam.answers[ans++];
                FUZZ_CHECK(a.asked >= 12 && a.asked <= static_cast<int>(kAckBuffer), "asked %d", a.asked);
                FUZZ_CHECK(a.timeoutMs == wait, "write ack waited %u, not %u", a.timeoutMs, wait);
                const bool more = ans < cam.answers.size() && cam.answers[ans].command == k;
                if (!more) {
                    checkFinalAck(a, c, 0x0803, 0, expect);
                    break;
                }
                // Followed by another read: this one was a pending acknowledge.
                const Header h = header(a);
                FUZZ_CHECK(h.present && h.prefix == kU3vcPrefix && h.commandId == 0x0805,
                           "read again after a non-pending ack");
                if (a.result >= 16) {
                    const unsigned asked = le16(a.bytes.data() + 14);
                    wait = asked == 0 ? kUsbDefaultTimeoutMs : asked;
                }
            }
        }
    }
    FUZZ_CHECK(ans == cam.answers.size(), "acknowledges read after the last transaction");
}

}  // namespace fuzz
