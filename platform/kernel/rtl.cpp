// Counted strings and text conversions, sized as the system routines size
// them.
#include "platform/kernel/rtl.h"

#include <algorithm>
#include <cstring>

namespace velto::platform {

namespace {
void terminate_if_room(UNICODE_STRING& s) {
  if (s.Length + sizeof(char16_t) <= s.MaximumLength) s.Buffer[s.Length / 2] = u'\0';
}
}  // namespace

void init_unicode_string(UNICODE_STRING& s, const char16_t* text) {
  const size_t chars = text ? std::char_traits<char16_t>::length(text) : 0;
  s.Length = static_cast<uint16_t>(chars * 2);
  s.MaximumLength = static_cast<uint16_t>(text ? chars * 2 + 2 : 0);
  s.Buffer = const_cast<char16_t*>(text);
}

std::u16string_view view(const UNICODE_STRING& s) {
  if (!s.Buffer) return {};
  return {s.Buffer, s.Length / 2u};
}

NTSTATUS append_to_string(UNICODE_STRING& s, std::u16string_view text) {
  const size_t bytes = text.size() * 2;
  if (s.Length + bytes > s.MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(reinterpret_cast<char*>(s.Buffer) + s.Length, text.data(), bytes);
  s.Length = static_cast<uint16_t>(s.Length + bytes);
  terminate_if_room(s);
  return STATUS_SUCCESS;
}

NTSTATUS append_string_to_string(UNICODE_STRING& s, const UNICODE_STRING& tail) {
  return append_to_string(s, view(tail));
}

NTSTATUS integer_to_string(uint32_t value, UNICODE_STRING& s) {
  const std::string digits = std::to_string(value);
  if (digits.size() * 2 > s.MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (size_t i = 0; i < digits.size(); ++i) s.Buffer[i] = static_cast<char16_t>(digits[i]);
  s.Length = static_cast<uint16_t>(digits.size() * 2);
  terminate_if_room(s);
  return STATUS_SUCCESS;
}

void copy_string(UNICODE_STRING& destination, const UNICODE_STRING& source) {
  if (!source.Buffer) {
    destination.Length = 0;
    return;
  }
  const uint16_t bytes = std::min(source.Length, destination.MaximumLength);
  std::memmove(destination.Buffer, source.Buffer, bytes);
  destination.Length = bytes;
  terminate_if_room(destination);
}

std::string to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    const bool high = cp >= 0xD800 && cp <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

namespace {
// Decodes one UTF-8 sequence at text[i]; a malformed one yields U+FFFD and
// consumes one byte, so damaged store text never stops a conversion.
uint32_t decode_utf8(std::string_view text, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  const size_t extra = lead < 0x80           ? 0
                       : (lead >> 5) == 0x06 ? 1
                       : (lead >> 4) == 0x0E ? 2
                       : (lead >> 3) == 0x1E ? 3
                                             : 4;  // a stray continuation or invalid lead
  if (extra == 4 || i + extra >= text.size()) {
    ++i;
    return 0xFFFD;
  }
  uint32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
  for (size_t k = 1; k <= extra; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  i += extra + 1;
  return cp;
}
}  // namespace

std::u16string to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const uint32_t cp = decode_utf8(text, i);
    if (cp < 0x10000) {
      out += static_cast<char16_t>(cp);
    } else {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
  }
  return out;
}

}  // namespace velto::platform
