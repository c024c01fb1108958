// DecryptValue over arbitrary text, and the round trip through EncryptValue:
// whatever a stored text decrypts to may be saved again, and every value that
// is saved must read back unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "comm/ValueEncryption.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    // Every piece decodes to at most its own length, and the prefix and the
    // salt are always dropped.
    const std::string value = DecryptValue(input);
    if (!value.empty() && value.size() + CRYPT_PREFIX.size() + CRYPT_SALT_LENGTH > input.size())
        std::abort();

    const std::string saved = EncryptValue(value);
    if (DecryptValue(saved) != value)
        std::abort();

    if (DecryptValue(EncryptValue(input)) != input)
        std::abort();
    return 0;
}
