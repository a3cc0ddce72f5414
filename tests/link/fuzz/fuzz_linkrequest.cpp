// Fuzzes the media server's request head as the server reads it: bytes arrive in pieces and the
// head so far is parsed again after each one. Whatever a prefix (cut at the first byte's value)
// decides must hold for the whole input: a complete head keeps its method, path and proof, and a
// head over the size limit is never accepted.
#include "link/LinkMediaRequest.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    LinkMediaRequest whole;
    const LinkMediaRequest::Status status = LinkMediaRequest::parse(input, &whole);
    if (status == LinkMediaRequest::Complete && input.size() > LinkMediaRequest::maxHeadBytes)
        std::abort();
    const qsizetype split = size == 0 ? 0 : qsizetype(data[0]) % (input.size() + 1);
    LinkMediaRequest prefix;
    const LinkMediaRequest::Status early = LinkMediaRequest::parse(input.left(split), &prefix);
    if (early == LinkMediaRequest::TooLarge && status != LinkMediaRequest::TooLarge)
        std::abort();
    if (early == LinkMediaRequest::Complete && status == LinkMediaRequest::Complete
        && (prefix.method != whole.method || prefix.path != whole.path || prefix.proof != whole.proof))
        std::abort();
    return 0;
}
