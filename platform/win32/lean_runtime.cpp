// The C++ runtime's error paths, made small for the Windows programs.
//
// No program catches an exception: one thrown from the standard library (a
// string past its largest size, a failed conversion) would end the program
// through std::terminate. libstdc++'s own functions for these paths build
// exception objects of its copy-on-write string type, and its terminate
// handler demangles the exception's name to print it on a console that these
// GUI-subsystem programs do not have; with them every program carried about
// 100 KB it never runs. Here each ends the program at once, as the uncaught
// exception would have, with the exit code of abort.
#include <cstdlib>

namespace std {

[[noreturn]] void __throw_length_error(const char*) { std::abort(); }
[[noreturn]] void __throw_logic_error(const char*) { std::abort(); }
[[noreturn]] void __throw_out_of_range(const char*) { std::abort(); }
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) { std::abort(); }
[[noreturn]] void __throw_invalid_argument(const char*) { std::abort(); }
[[noreturn]] void __throw_bad_alloc() { std::abort(); }
[[noreturn]] void __throw_bad_array_new_length() { std::abort(); }

}  // namespace std

namespace __gnu_cxx {

[[noreturn]] void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx
