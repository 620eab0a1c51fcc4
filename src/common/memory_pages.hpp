#pragma once

#include <cstddef>
#include <cstdint>

namespace velmar {

// Asks for transparent huge pages on a large buffer. Reading or writing an
// index of a million entries touches well over a gigabyte of fresh buffers
// (the text, the parser's structural indexes, tape and strings, the
// entries); with 4 KiB pages about half of that time goes to page faults.
// Only buffers far above malloc's mmap threshold are advised, so the range
// is always a private mapping of its own. A refusal changes nothing.
void AdviseHugePages(const void* data, size_t bytes);

// Maps in the pages holding [data, data + size) with one call instead of one
// page fault per 4 KiB page as they are first written. Every page of the
// rounded-out range holds bytes of the buffer, so it is mapped, and
// populating never changes what a page holds. Best effort.
void Prefault(uint8_t* data, size_t size);

}  // namespace velmar
