#pragma once

// Public half of the key pair that signs the update feed's manifests (key id "zelvo-playout-2026-01"),
// written by scripts/make-update-fixtures.sh as base64 text of an RSA public-key blob.
namespace ManifestKey {
inline constexpr char publicKeyBase64[] =
    "UlNBMQAMAAADAAAAgAEAAAAAAAAAAAAAAQAB3cbX2CXG7UifD0zTl58EPsvzTC3DPO7w2MEemS6FJFA64WJt12UHKj1AKX6GXhqDIJAcaaHKIMtnxzuW3GJ5pZ2ZnBgo06F8kr1JULI5jlQx6zvnr1rlZmWozEKoEd7QZr+0S0a6rKLmUuVV4TlFCkl4n9fCX+XOUnsw+Cj2/+99AGSWX/3OmQ021uDUuNhMgA5ZAlmNSh6HyYGOVdzMXzRS7mBe/Wme68mKw1JrRn3PiYYVhKUnt7gxbJVKxZ3eYtX/te4FYcJ99uiq/jKbc3GK7zaVeT1Jxur8ZqFPMnKMYUG0UueOxI9F+Vl92VM/IXdEdBwrTAz8D6zbDcoK5+br9ES/Uk7W861JthQWATKjLJ3uTctlyIZleX3WA08cl31o9W8mddnBT4j6FdQlt/2FM/qG9G1Vh0z8Tt+v024fcvIYLXbpwRRoKoiKskauvnYWlhlXyZUGybf3K7rFzwcJ2lvfooKcRnruROIZYdidgueDTZ2635VXnjKDfdyD";
}
