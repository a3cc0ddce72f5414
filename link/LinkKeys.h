#pragma once

#include <QByteArray>
#include <QString>

// The key routines of Link: everything is derived at run time from the Link code the operators
// type, so the program holds no secret of its own. Pure functions, callable from any thread.
//
// The session key comes from a deliberately slow, salted PBKDF2-HMAC-SHA256 (about 100 ms here):
// a code may be six typed characters, and anyone on the LAN hears the beacons, so guessing codes
// offline must cost a full derivation per guess. The key identifier that beacons carry is an HMAC
// of the key under its own label, so it reveals nothing of the key itself.
namespace LinkKeys {
// PBKDF2 iteration count of the session key; fixed, since every machine of a group must agree.
constexpr int kdfIterations = 400000;
}

// The trimmed, lower-cased form of a code, the only form any derivation sees.
QString normalizedLinkCode(const QString &code);

// 32-byte session key of a Link code.
QByteArray deriveLinkKey(const QString &code);

// 12 lower-case hex digits naming a key in beacons and in operator sign-in records.
QString linkKeyId(const QByteArray &key);

// Lower-case hex HMAC-SHA256 of message under key (64 characters).
QByteArray linkMac(const QByteArray &key, const QByteArray &message);

// 32-byte operator key of a PIN (trimmed, case kept) under a session key. Cheap by design: the
// slow step is the session key, which an attacker needs first.
QByteArray deriveOperatorKey(const QByteArray &linkKey, const QString &pin);

// 10 characters from "abcdefghjkmnpqrstuvwxyz23456789", drawn from the system's secure generator.
QString generateLinkCode();

// Random bytes as lower-case hex (2 digits per byte), from the system's secure generator.
QByteArray randomHexNonce(int bytes = 16);

// Compares two MAC texts in constant time (their lengths are not secret).
bool linkMacEquals(const QByteArray &a, const QByteArray &b);
