#pragma once
// The configuration file VmrZOLConfig.xml and the data directories beside the
// executable. Settings are found by a plain text search for an element's tags, not by
// an XML parser, so nesting, comments and attributes mean nothing.

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dorvek::service {

inline constexpr std::string_view kConfigFileName = "VmrZOLConfig.xml";
inline constexpr std::string_view kReadmePath = "VmrZOLData/Config/readme.xml";
// Created in this order: the data directory before its subdirectories.
inline constexpr std::array<std::string_view, 4> kDataDirectories = {
    "VmrZOLData", "VmrZOLData/Logs", "VmrZOLData/Config", "VmrZOLData/XML"};

// The text between the first "<name>" and the first "</name>" of the lines joined
// with CR LF after each line. Case-sensitive; either tag missing, or the closing tag
// beginning before the opening tag ends, gives "". The value is not trimmed.
std::string ReadXMLTag(const std::vector<std::string>& lines, std::string_view name);
// The same, but nothing where ReadXMLTag gives "" because the element cannot be found
// (a tag missing, or the closing tag before the opening one), so that a missing element
// and an empty one differ.
std::optional<std::string> FindXMLTag(const std::vector<std::string>& lines, std::string_view name);

// The names of the elements the lines write, from their opening, closing or empty tags
// (attributes allowed), each once in the order of first appearance. Comments, the
// declaration, a "<" that begins no tag and the values of value_elements, as
// FindXMLTag finds them, are passed over: a "<" inside a password is no element.
std::vector<std::string> ElementNames(const std::vector<std::string>& lines,
                                      const std::vector<std::string_view>& value_elements);

// The integer value of an HTTPTimer or Port text: leading blanks, an optional sign,
// then decimal digits, or hexadecimal digits after "$", "x", "X", "0x" or "0X". Reading
// stops at the first other character; no digits gives 0. A value past the range of
// long long saturates at its limit.
long long ReadIntegerSetting(std::string_view text);

// The 24 lines of the configuration template; base_dir is the executable's directory.
std::vector<std::string> ConfigTemplateLines(const std::filesystem::path& base_dir);
// The same lines in the order readme.xml gets at installation, with a sample database.
std::vector<std::string> ReadmeInstallLines(const std::filesystem::path& base_dir);

// Writes the lines, each followed by CR LF, as UTF-8 without a byte-order mark and
// with mode 0600 (the file holds the database password), but only when the file does
// not exist: an existing file, even an empty one, is never replaced. Returns true when
// it wrote. Throws std::runtime_error naming the file when it cannot be written.
bool WriteLinesIfMissing(const std::filesystem::path& file, const std::vector<std::string>& lines);

// Bytes of a configuration file to UTF-8 text. A UTF-8, UTF-16 LE or UTF-16 BE
// byte-order mark selects that encoding; without one the bytes are taken as UTF-8 when
// they are valid UTF-8, else as Windows-1252.
std::string DecodeConfigText(std::string_view bytes);
// Lines ended by CR LF, LF or CR; a line break at the very end opens no further line.
std::vector<std::string> SplitConfigLines(std::string_view text);
// The file's lines as UTF-8. Throws std::runtime_error naming the file and the
// system's reason when it cannot be read, or is not a regular file (a FIFO or device
// there would make the read wait without end).
std::vector<std::string> LoadConfigLines(const std::filesystem::path& file);

// Creates each of kDataDirectories under base_dir that is missing, in order. A
// directory that cannot be created is skipped: later writes into it fail on their own.
void CreateDataDirectories(const std::filesystem::path& base_dir);

}  // namespace dorvek::service
