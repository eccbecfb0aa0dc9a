#pragma once

#include <filesystem>

struct ggml_backend;

namespace tallyvox::CpuBackend {

// Where the package keeps ggml's processor-specific CPU libraries (libggml-cpu-*.so), relative
// to the folder above the executable's: <prefix>/bin/tallyvox-cli looks in <prefix>/lib/tallyvox.
inline constexpr const char* libraryFolderName = "lib/tallyvox";

// The library folder for the running executable.
std::filesystem::path libraryFolder();

// Makes ggml's CPU backend available before anything computes. A build with ggml's CPU code
// linked in has it already; a build that chooses its kernels at run time loads, from `folder`,
// the library made for the newest processor generation this one runs. Done once per process;
// later calls only check. Throws Error, naming the folder, when no CPU backend can be had.
void require(const std::filesystem::path& folder);
void require();

// A CPU backend computing on `threads` threads. Throws Error as require() does.
ggml_backend* create(int threads);

} // namespace tallyvox::CpuBackend
