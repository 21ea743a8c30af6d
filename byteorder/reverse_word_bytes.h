// The word byte-order pass of the ROM byte-order converter.
#ifndef CNC64_BYTEORDER_REVERSE_WORD_BYTES_H_
#define CNC64_BYTEORDER_REVERSE_WORD_BYTES_H_

#include <string_view>

#include "frame/target_file.h"

namespace byteorder {

/// oskebar: opens the ROM image named by `argument` and reverses the four
/// bytes of every four-byte word in place, with the progress line and the
/// closing line.
void ReverseWordBytes(std::string_view argument);

/// The pass over an open image, for callers that hold the file themselves:
/// every whole word from offset 0 is reversed and a progress dot is shown
/// each time the word counter reaches a multiple of 1 MiB. A last word
/// shorter than 4 bytes is left as it is.
void ReverseOpenWords(frame::TargetFile& image);

}  // namespace byteorder

#endif  // CNC64_BYTEORDER_REVERSE_WORD_BYTES_H_
