#pragma once
// The pieces of the support bundle that need no agent: taking the secrets
// out of documents and log lines, and packing files into a .tar.gz.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

inline constexpr char REDACTED_VALUE[] = "[removed]";
inline constexpr char REDACTED_LINE[] = "[line removed: it may carry a secret]";

// Whether an element or attribute of that name holds a secret: a password,
// a key, a token, a credential (case-insensitive).
bool IsSecretName(std::string_view name);

// An XML document's text (well-formed or not) with every secret replaced:
// the content of each element and the value of each attribute whose name
// says it holds one, every stored "!CRYPT!" value wherever it stands, and
// every occurrence of one of `knownSecrets` (the passwords in clear).
// An empty secret element stays empty, so that the reader still sees which
// passwords are set.
std::string RedactDocument(std::string_view text, const std::vector<std::string>& knownSecrets);

// A log's or a journal's lines, each line that could carry a secret (one
// naming a password, a key, an authorization, a stored "!CRYPT!" value, or
// holding one of `knownSecrets`) replaced whole by REDACTED_LINE.
std::string ScrubLines(std::string_view text, const std::vector<std::string>& knownSecrets);

// `text` with every occurrence of one of `knownSecrets` replaced by
// REDACTED_VALUE: for texts that are written to withhold credentials already
// (the connection diagnosis), whose lines must stay whole.
std::string WithoutKnownSecrets(std::string_view text, const std::vector<std::string>& knownSecrets);

// Secrets shorter than this are not searched for: a short string would
// turn up by chance in any text, and the elements are redacted anyway.
inline constexpr std::size_t MIN_KNOWN_SECRET_LENGTH = 3;

// A ustar archive, gzip-compressed, made in memory and written at once.
class TarGzWriter {
public:
    explicit TarGzWriter(std::time_t modified) : m_modified(modified) {}
    // Paths are relative, '/'-separated, at most 255 bytes.
    bool AddDirectory(const std::string& path);
    bool AddFile(const std::string& path, std::string_view bytes, unsigned mode = 0600);
    // Writes the archive beside `path` and renames it into place, mode 0600,
    // so that no half-written bundle is left behind. False with `why`.
    bool Write(const std::string& path, std::string* why) const;
    // The uncompressed tar stream so far, with its end blocks.
    std::string TarBytes() const;

private:
    bool AddEntry(const std::string& path, char type, std::string_view bytes, unsigned mode);

    std::time_t m_modified;
    std::string m_tar;
};
