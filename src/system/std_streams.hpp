// The standard descriptors as raw byte streams, and borrowing descriptor 2
// to catch what a library prints. Linux: read/writev on the descriptors
// (std_streams_posix.cpp). Windows: the C runtime's descriptors, switched to
// binary mode so that no byte is translated (std_streams_win.cpp). A read or
// write that fails gives its reason as an errno value on both, so that a peer
// that closed its pipe reads "Broken pipe" on either.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <system_error>

namespace kinra2::system {

// The descriptor to use for standard stream `fd` (0 or 1), in binary mode.
// When it was not open, its number is taken by the null device, so that no
// file opened later can get it and be read or overwritten as a stream, and
// -1 is returned. Throws std::system_error when binary mode cannot be set.
int standard_stream(int fd, bool for_writing);

// Up to n bytes; 0 at end of input; -1 on failure, with the reason in `why`.
// Interrupted calls are retried.
std::ptrdiff_t read_some(int fd, void* buf, std::size_t n, std::error_code& why);
// Some leading part of a then b, in one call where the platform allows; -1 on
// failure, with the reason in `why`. Interrupted calls are retried.
std::ptrdiff_t write_some(int fd, std::span<const std::byte> a, std::span<const std::byte> b,
                          std::error_code& why);
bool is_terminal(int fd);

// A descriptor of the null device (/dev/null, NUL), or -1.
int open_null_device(bool for_writing);

// A new anonymous file to point a descriptor at while capturing, or -1.
int capture_file();
// A duplicate of `fd` numbered above the standard three, not inherited by
// child processes; -1 on failure.
int duplicate_fd(int fd);
// Makes `to` refer to what `from` refers to; false on failure.
bool redirect_fd(int from, int to);
// Up to `max` bytes of the file behind `fd`, from its start.
std::string read_back(int fd, std::size_t max);

}  // namespace kinra2::system
