// Marks a function of a pass's block work to be built for the widest
// vector instructions the processor offers, chosen when the program
// starts. Where the platform has no such dispatch (no ifunc), or the
// compiler does not offer it, the baseline build serves.
#ifndef CNC64_FRAME_WIDEST_VECTORS_H_
#define CNC64_FRAME_WIDEST_VECTORS_H_

#if defined(__x86_64__) && defined(__ELF__) && !defined(__clang__)
#define CNC64_WIDEST_VECTORS [[gnu::target_clones("avx2", "default")]]
#else
#define CNC64_WIDEST_VECTORS
#endif

#endif  // CNC64_FRAME_WIDEST_VECTORS_H_
