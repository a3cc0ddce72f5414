// Fuzzes PtpMessage::parse on the whole input, and a PtpClock fed the input as a stream of datagrams:
//   byte 0: clock mode (mod 3); then records of [control][length][payload], where control bit 0
//   says "event socket" and bits 1-7 advance the synthetic clock by that many milliseconds.
// Aborts when an accepted message does not survive encode and parse unchanged; the sanitizers catch
// reads past the input and arithmetic overflow in the servo.
#include "outputs/aes67/PtpClock.h"
#include "outputs/aes67/PtpMessage.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void checkRoundTrip(const char *data, std::size_t size)
{
    const auto message = PtpMessage::parse(data, qsizetype(size));
    if (!message)
        return;
    const QByteArray encoded = message->encode();
    auto again = PtpMessage::parse(encoded.constData(), encoded.size());
    if (!again)
        std::abort();
    again->messageLength = message->messageLength;
    if (!(*again == *message))
        std::abort();
}

void driveClock(const uint8_t *data, std::size_t size)
{
    if (size == 0)
        return;
    qint64 local = 1'000'000'000'000;
    PtpClock clock;
    clock.setPresetIdentity(QByteArray::fromHex("02aabbfffe0000aa"));
    clock.setTestHooks({[&local] { return local; }, [](const QByteArray &, bool) {}});
    if (!clock.start(QStringLiteral("127.0.0.1"), 0, data[0] % 3, nullptr))
        std::abort();
    std::size_t at = 1;
    while (at + 2 <= size) {
        const uint8_t control = data[at];
        const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
        // An exact-size copy, so a read past the datagram is a read past a heap block.
        std::vector<char> datagram(data + at + 2, data + at + 2 + length);
        at += 2 + length;
        local += qint64(control >> 1) * 1'000'000;
        clock.handleMessage(datagram.data(), int(datagram.size()), local, control & 1);
        clock.tick(local);
        checkRoundTrip(datagram.data(), datagram.size());
    }
    (void)clock.now();
    (void)clock.status();
    (void)clock.grandmasterIdentity();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    std::vector<char> whole(data, data + size);
    checkRoundTrip(whole.data(), whole.size());
    driveClock(data, size);
    return 0;
}
