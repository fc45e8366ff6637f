// Run-time library helpers that need no kernel: counted UTF-16 strings in
// caller-owned buffers, doubly linked lists, and text conversions. They
// behave like the system routines they stand for, down to the byte counts,
// because drivers size their buffers by those counts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/kernel/types.h"

namespace velto::platform {

// RtlInitUnicodeString over a constant: Length = text bytes, MaximumLength
// with the NUL. The string must not be written.
void init_unicode_string(UNICODE_STRING& s, const char16_t* text);
// The text of a counted string.
std::u16string_view view(const UNICODE_STRING& s);
// RtlAppendUnicodeToString: STATUS_BUFFER_TOO_SMALL when the result would not
// fit in MaximumLength; a NUL follows when there is room for it.
NTSTATUS append_to_string(UNICODE_STRING& s, std::u16string_view text);
// RtlAppendUnicodeStringToString.
NTSTATUS append_string_to_string(UNICODE_STRING& s, const UNICODE_STRING& tail);
// RtlIntegerToUnicodeString in base 10: replaces the text; a NUL follows when
// there is room; STATUS_BUFFER_OVERFLOW when the digits do not fit.
NTSTATUS integer_to_string(uint32_t value, UNICODE_STRING& s);
// RtlCopyUnicodeString: copies as much as fits, NUL-terminated when room.
void copy_string(UNICODE_STRING& destination, const UNICODE_STRING& source);

// UTF-16 and UTF-8 conversions for the registry and for messages. Code units
// that are not valid UTF-16 become U+FFFD.
std::string to_utf8(std::u16string_view text);
std::u16string to_utf16(std::string_view text);

// LIST_ENTRY operations (InitializeListHead, IsListEmpty, InsertTailList,
// InsertHeadList, RemoveHeadList, RemoveTailList, RemoveEntryList).
inline void initialize_list_head(LIST_ENTRY& head) {
  head.Flink = head.Blink = &head;
}
inline bool is_list_empty(const LIST_ENTRY& head) {
  return head.Flink == &head;
}
inline void insert_tail_list(LIST_ENTRY& head, LIST_ENTRY& entry) {
  entry.Flink = &head;
  entry.Blink = head.Blink;
  head.Blink->Flink = &entry;
  head.Blink = &entry;
}
inline void insert_head_list(LIST_ENTRY& head, LIST_ENTRY& entry) {
  entry.Blink = &head;
  entry.Flink = head.Flink;
  head.Flink->Blink = &entry;
  head.Flink = &entry;
}
// True when the list became empty.
inline bool remove_entry_list(LIST_ENTRY& entry) {
  LIST_ENTRY* before = entry.Blink;
  LIST_ENTRY* after = entry.Flink;
  before->Flink = after;
  after->Blink = before;
  entry.Flink = entry.Blink = nullptr;
  return before == after;
}
inline LIST_ENTRY* remove_head_list(LIST_ENTRY& head) {
  LIST_ENTRY* entry = head.Flink;
  remove_entry_list(*entry);
  return entry;
}
inline LIST_ENTRY* remove_tail_list(LIST_ENTRY& head) {
  LIST_ENTRY* entry = head.Blink;
  remove_entry_list(*entry);
  return entry;
}

}  // namespace velto::platform
