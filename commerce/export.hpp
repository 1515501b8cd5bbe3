// Writing commerce intelligence to files: CSV rows and atomic replacement.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace quillmere::exporter {

// The 15 column titles of the CSV export, in column order.
std::span<const std::string_view> csv_header();

// Appends one field in the standard CSV form: enclosed in double quotes only
// when it holds a comma, a double quote, CR or LF, inner quotes doubled. The
// file is UTF-8, so a lone surrogate (in its three-byte form, see text.hpp)
// is written as U+FFFD.
void append_csv_field(std::string& out, std::string_view field);
// Appends the fields separated by "," and ends the row with CR LF.
void append_csv_row(std::string& out, std::span<const std::string_view> fields);

// Writes `content` to `path` so that the file at `path` is either the old one
// or the complete new one: the bytes go to a temporary file in the same
// directory, which then replaces `path`. A new file gets the permissions a
// plain create would give; a replaced file keeps its permissions. A path that
// names a device or a pipe is opened and written instead (it is no file to
// replace). On failure the temporary file is removed and std::system_error is
// thrown (errno code).
//
// Where the platform allows it (Linux), the temporary file has no name until
// it is complete, so a process killed on the way leaves nothing behind;
// elsewhere it is a hidden file beside the target, and temporaries that a
// killed writer left for the same target are removed by the next export
// that takes this way. NAMED takes it everywhere.
enum class Temporary { UNNAMED_IF_SUPPORTED, NAMED };
void write_file_atomically(const std::string& path, std::string_view content,
                           Temporary temporary = Temporary::UNNAMED_IF_SUPPORTED);

}  // namespace quillmere::exporter
