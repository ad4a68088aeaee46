// REGEDIT4 .reg text in and out of the host's registry.
//
// Read: the "REGEDIT4" header (blank and ';' comment lines may come before
// it), [HKEY_LOCAL_MACHINE\...] or [HKEY_USERS\...] sections (HKLM and HKU
// also accepted), [-key] to delete a key with its subtree, and values:
// "name"="text" (escapes \\ and \"), @= for the default value, dword:,
// hex:, hex(N): with '\' continuation lines, and "name"=- to delete. Bytes of
// hex(1), hex(2) and hex(7) are text, taken as UTF-8, and stored as UTF-16.
// LF or CRLF line ends. A file is checked whole before anything is applied,
// so a malformed one leaves the registry as it was; the HostError says
// "SOURCE:LINE: what is wrong".
//
// Written: the same form, LF line ends, keys in depth-first order with each
// level in insertion order and every key given a section (empty ones too),
// so that importing the text into a fresh registry rebuilds the same tree.
// String-typed data that is not clean NUL-terminated UTF-16 text cannot be
// written as REGEDIT4 and raises HostError naming the value.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "nt/registry.h"

namespace tolvanex::host {

// `source` names the text in error messages (a file name, "<script>", ...).
void import_reg(Registry &registry, std::string_view text, std::string_view source);
void import_reg_file(Registry &registry, const std::filesystem::path &file);

// The key at `path` and everything below it; "\Registry" gives both hives.
std::string export_reg(const Registry &registry, std::string_view path = "\\Registry");

} // namespace tolvanex::host
