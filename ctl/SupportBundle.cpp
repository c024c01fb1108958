#include "ctl/SupportBundle.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return out;
}

bool ContainsAny(const std::string& lower, std::initializer_list<const char*> words) {
    return std::any_of(words.begin(), words.end(),
                       [&lower](const char* word) { return lower.find(word) != std::string::npos; });
}

bool IsNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
           c == ':' || static_cast<unsigned char>(c) >= 0x80;
}

constexpr char CRYPT_PREFIX[] = "!CRYPT!";

// Every stored encrypted value, prefix and pieces, up to the next markup or
// blank.
std::string RedactStoredValues(std::string text) {
    const std::size_t prefix = std::strlen(CRYPT_PREFIX);
    for (std::size_t at = text.find(CRYPT_PREFIX); at != std::string::npos;
         at = text.find(CRYPT_PREFIX, at)) {
        std::size_t end = at + prefix;
        while (end < text.size() && std::strchr("<>\"'& \t\r\n", text[end]) == nullptr)
            ++end;
        text.replace(at, end - at, REDACTED_VALUE);
        at += std::strlen(REDACTED_VALUE);
    }
    return text;
}

std::string ReplaceKnown(std::string text, const std::vector<std::string>& secrets) {
    for (const std::string& secret : secrets) {
        if (secret.size() < MIN_KNOWN_SECRET_LENGTH)
            continue;
        for (std::size_t at = text.find(secret); at != std::string::npos;
             at = text.find(secret, at + std::strlen(REDACTED_VALUE))) {
            text.replace(at, secret.size(), REDACTED_VALUE);
        }
    }
    return text;
}

// Redacts the secret attributes of the start tag text[begin, end).
void RedactAttributes(std::string& text, std::size_t begin, std::size_t& end) {
    std::size_t at = begin;
    while (at < end) {
        while (at < end && !IsNameChar(text[at]))
            ++at;
        const std::size_t nameStart = at;
        while (at < end && IsNameChar(text[at]))
            ++at;
        const std::string name = text.substr(nameStart, at - nameStart);
        while (at < end && std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
        if (at >= end || text[at] != '=')
            continue;
        ++at;
        while (at < end && std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
        if (at >= end || (text[at] != '"' && text[at] != '\''))
            continue;
        const char quote = text[at++];
        const std::size_t close = text.find(quote, at);
        if (close == std::string::npos || close > end)
            return;
        if (IsSecretName(name) && close > at) {
            text.replace(at, close - at, REDACTED_VALUE);
            const std::size_t length = std::strlen(REDACTED_VALUE);
            end = end - (close - at) + length;
            at += length + 1;
        } else {
            at = close + 1;
        }
    }
}

void AppendOctal(char* field, std::size_t width, uint64_t value) {
    // width - 1 digits and a NUL, as tar readers expect.
    for (std::size_t i = width - 1; i-- > 0;) {
        field[i] = static_cast<char>('0' + (value & 7));
        value >>= 3;
    }
    field[width - 1] = '\0';
}

} // namespace

std::string WithoutKnownSecrets(std::string_view text, const std::vector<std::string>& knownSecrets) {
    return ReplaceKnown(std::string(text), knownSecrets);
}

bool IsSecretName(std::string_view name) {
    return ContainsAny(Lower(name), {"password", "passwd", "pswd", "pwd", "secret", "key", "token",
                                     "credential"});
}

std::string RedactDocument(std::string_view input, const std::vector<std::string>& knownSecrets) {
    std::string text(input);
    for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        std::size_t nameEnd = at + 1;
        while (nameEnd < text.size() && IsNameChar(text[nameEnd]))
            ++nameEnd;
        if (nameEnd == at + 1)
            continue; // an end tag, a comment, a declaration
        std::size_t tagEnd = text.find('>', nameEnd);
        if (tagEnd == std::string::npos)
            break;
        RedactAttributes(text, nameEnd, tagEnd);
        const bool selfClosing = text[tagEnd - 1] == '/';
        if (selfClosing || !IsSecretName(text.substr(at + 1, nameEnd - at - 1)))
            continue;
        const std::size_t contentStart = tagEnd + 1;
        std::size_t contentEnd = text.find('<', contentStart);
        if (contentEnd == std::string::npos)
            contentEnd = text.size();
        // A value in a CDATA section ends at the section's end, not at its '<'.
        if (text.compare(contentEnd, 9, "<![CDATA[") == 0) {
            const std::size_t sectionEnd = text.find("]]>", contentEnd);
            contentEnd = sectionEnd == std::string::npos ? text.size() : sectionEnd + 3;
            const std::size_t next = text.find('<', contentEnd);
            contentEnd = next == std::string::npos ? text.size() : next;
        }
        if (contentEnd > contentStart)
            text.replace(contentStart, contentEnd - contentStart, REDACTED_VALUE);
        at = contentStart;
    }
    return ReplaceKnown(RedactStoredValues(std::move(text)), knownSecrets);
}

std::string ScrubLines(std::string_view text, const std::vector<std::string>& knownSecrets) {
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string_view line = text.substr(start, end - start);
        std::string_view body = line;
        while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
            body.remove_suffix(1);
        const std::string lower = Lower(body);
        bool secret = ContainsAny(lower, {"password", "passwd", "pswd", "pwd", "secret", "token",
                                          "credential", "authorization", "cookie", "!crypt!",
                                          "private key", "privatekey"});
        for (const std::string& known : knownSecrets)
            secret = secret || (known.size() >= MIN_KNOWN_SECRET_LENGTH &&
                                body.find(known) != std::string_view::npos);
        if (secret) {
            out += REDACTED_LINE;
            out += line.substr(body.size());
        } else {
            out += line;
        }
        start = end;
    }
    return out;
}

bool TarGzWriter::AddDirectory(const std::string& path) {
    return AddEntry(path.back() == '/' ? path : path + "/", '5', {}, 0700);
}

bool TarGzWriter::AddFile(const std::string& path, std::string_view bytes, unsigned mode) {
    return AddEntry(path, '0', bytes, mode);
}

bool TarGzWriter::AddEntry(const std::string& path, char type, std::string_view bytes,
                           unsigned mode) {
    char header[512] = {};
    std::string name = path;
    std::string prefix;
    if (name.size() > 100) {
        // ustar splits a long path at a '/' into a prefix of up to 155 bytes.
        const std::size_t slash = name.rfind('/', 155);
        if (slash == std::string::npos || name.size() - slash - 1 > 100 || slash == 0)
            return false;
        prefix = name.substr(0, slash);
        name = name.substr(slash + 1);
    }
    std::memcpy(header, name.data(), name.size());
    AppendOctal(header + 100, 8, mode);
    AppendOctal(header + 108, 8, 0);
    AppendOctal(header + 116, 8, 0);
    AppendOctal(header + 124, 12, bytes.size());
    AppendOctal(header + 136, 12, static_cast<uint64_t>(m_modified));
    std::memset(header + 148, ' ', 8);
    header[156] = type;
    std::memcpy(header + 257, "ustar", 6);
    std::memcpy(header + 263, "00", 2);
    std::memcpy(header + 265, "root", 4);
    std::memcpy(header + 297, "root", 4);
    std::memcpy(header + 345, prefix.data(), prefix.size());
    unsigned sum = 0;
    for (const char c : header)
        sum += static_cast<unsigned char>(c);
    AppendOctal(header + 148, 7, sum);
    header[155] = ' ';
    m_tar.append(header, sizeof header);
    m_tar.append(bytes.data(), bytes.size());
    m_tar.append((512 - bytes.size() % 512) % 512, '\0');
    return true;
}

std::string TarGzWriter::TarBytes() const {
    return m_tar + std::string(1024, '\0');
}

bool TarGzWriter::Write(const std::string& path, std::string* why) const {
    const auto fail = [why](const std::string& text) {
        if (why)
            *why = text;
        return false;
    };
    const std::string tar = TarBytes();
    z_stream stream{};
    // windowBits 15 + 16: a gzip header and trailer around the deflate data.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return fail("cannot start the compression");
    std::string gz(deflateBound(&stream, static_cast<uLong>(tar.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(tar.data()));
    stream.avail_in = static_cast<uInt>(tar.size());
    stream.next_out = reinterpret_cast<Bytef*>(gz.data());
    stream.avail_out = static_cast<uInt>(gz.size());
    const int result = deflate(&stream, Z_FINISH);
    gz.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        return fail("the compression failed");

    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return fail(path + ": " + std::strerror(errno));
    std::size_t written = 0;
    while (written < gz.size()) {
        const ssize_t n = ::write(fd, gz.data() + written, gz.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            return fail(path + ": " + std::strerror(error));
        }
        written += static_cast<std::size_t>(n);
    }
    const bool synced = ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!synced || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return fail(path + ": " + std::strerror(error));
    }
    return true;
}
