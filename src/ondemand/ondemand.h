// Libraries that only a few actions use are not linked into the CGI program: each of their
// functions that the program calls is defined here and goes to the library, loaded on first use.
// A request that never calls them never pays for loading them and all they depend on.
#pragma once

namespace qlm {

// The address of name in the shared library soname, which is loaded on the first call. A library
// or a function that cannot be found ends the process with a message on standard error: the
// installation is broken, as it would be for a program linked against the library.
void* On_Demand_Symbol(const char* soname, const char* name);

}  // namespace qlm

// The body of a forwarding definition: resolves the library's own function once and calls it.
#define QLM_ON_DEMAND_CALL(soname, name, ...)                                                         \
    static const auto fn = reinterpret_cast<decltype(&::name)>(qlm::On_Demand_Symbol(soname, #name)); \
    return fn(__VA_ARGS__)
