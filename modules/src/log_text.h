// Client text for a log line of either module (user names come from the
// client): bytes outside printable ASCII, the space, '"', '<' and '>' become
// \xHH (the admission daemon's way), so that no client closes the <...>
// around it, writes a field or a line of its own, or sends raw bytes to the
// log. The backslash of DOMAIN\user stays; Apache's error log doubles every
// backslash itself. At most log_text_max bytes are shown, then "...".
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

constexpr std::size_t log_text_max = 256;

// The bytes that escape_log_text writes for text, its NUL included.
constexpr std::size_t log_text_size(std::size_t text_size)
{
    return std::min(text_size, log_text_max) * 4 + 4;
}

inline void escape_log_text(std::string_view text, char *out)
{
    for (unsigned char c : text.substr(0, log_text_max)) {
        if (c > ' ' && c < 0x7f && c != '"' && c != '<' && c != '>') {
            *out++ = static_cast<char>(c);
        } else {
            constexpr char hex[] = "0123456789abcdef";
            *out++ = '\\';
            *out++ = 'x';
            *out++ = hex[c >> 4];
            *out++ = hex[c & 15];
        }
    }
    if (text.size() > log_text_max)
        out = std::copy_n("...", 3, out);
    *out = '\0';
}
