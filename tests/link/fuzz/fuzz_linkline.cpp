// Fuzzes the control-line parser on the whole input: a parsed line must survive writing and
// parsing again unchanged, its signed text must be computable, and a MAC over it must verify only
// for the text it was made for. The sanitizers catch reads past the input and bad conversions.
#include "link/LinkKeys.h"
#include "link/LinkLine.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const LinkLine line = LinkLine::parse(input);
    const QByteArray encoded = line.encode();
    if (encoded.count('\n') != 1 || !encoded.endsWith('\n'))
        std::abort();
    const LinkLine again = LinkLine::parse(encoded.chopped(1));
    if (again.type != line.type || again.seq != line.seq || again.body != line.body || again.mac != line.mac)
        std::abort();
    static const QByteArray key(32, '\x5a');
    const QByteArray nonce = "0123456789abcdef0123456789abcdef";
    const QByteArray text = LinkLine::signedText(nonce, nonce, LinkLine::ToMaster, line.seq, line.type, line.body);
    const QByteArray mac = linkMac(key, text);
    if (!linkMacEquals(mac, linkMac(key, text)) || linkMacEquals(line.mac, mac) != (line.mac == mac))
        std::abort();
    if (linkMacEquals(mac, linkMac(key, LinkLine::signedText(nonce, nonce, LinkLine::ToClient, line.seq, line.type, line.body))))
        std::abort();
    (void)LinkLine::isNonce(line.mac);
    return 0;
}
