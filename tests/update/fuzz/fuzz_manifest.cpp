// Feeds arbitrary bytes to the manifest reader. The first byte picks what the rest is: a whole
// manifest document, or a payload that the harness signs with its own key so that the fuzzer also
// reaches the rules behind the signature, or two version texts to order.
#include "FeedSigner.h"
#include "update/UpdateController.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const FeedSigner *signer = [] {
        auto *made = new FeedSigner(2048);
        made->install();
        return made;
    }();
    if (size == 0)
        return 0;
    const QByteArray rest(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    UpdateManifest manifest;
    QString error;
    switch (data[0] % 3) {
    case 0:
        UpdateController::parseSignedManifest(rest, &manifest, &error);
        break;
    case 1:
        if (UpdateController::parseSignedManifest(signer->document(rest), &manifest, &error)) {
            // An accepted record keeps to the rules it passed.
            if (UpdateController::parseVersion(manifest.version).size() != 4 || manifest.size < 1
                || manifest.size > 536870912 || manifest.sha256.size() != 64 || !error.isEmpty())
                __builtin_trap();
        } else if (error.isEmpty() || !manifest.version.isEmpty()) {
            __builtin_trap();
        }
        break;
    default: {
        const qsizetype split = rest.indexOf('\n');
        const QString a = QString::fromUtf8(rest.left(split < 0 ? rest.size() : split));
        const QString b = QString::fromUtf8(split < 0 ? QByteArray() : rest.mid(split + 1));
        if (UpdateController::compareVersions(a, b) != -UpdateController::compareVersions(b, a))
            __builtin_trap();
    }
    }
    return 0;
}
