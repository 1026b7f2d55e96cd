// Whether a downloaded file is a whole Windows program, judged from its own
// headers: a transfer cut short without an error (a chunked body that ends
// before its last chunk, which WinHTTP may hand back as the end of the data)
// must never be started.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

enum class ProgramFile { Whole, Incomplete, NotAProgram, Unreadable };

// Reads `size` bytes at `offset` of the file into `bytes`; false if it cannot.
using ReadFileAt = std::function<bool(std::uint64_t offset, void* bytes, std::size_t size)>;

// Judges a file of `fileSize` bytes: "MZ", readable PE headers, the raw data
// of every section within the file, and the certificate table, where the
// headers declare one, within the file. Data after all of them is allowed
// (setup programs append their payload). Anything but Whole puts the first
// fault found in `reason`, e.g. "section .rsrc ends at 3,400,000 of
// 3,192,460 bytes". An unsigned program whose appended data was cut short
// cannot be told from a whole one: the signature, at the end, is what
// covers all of a file.
ProgramFile JudgeProgramFile(std::uint64_t fileSize, const ReadFileAt& readAt, std::string& reason);

// 3192460 as "3,192,460".
std::string GroupedDigits(std::uint64_t number);
