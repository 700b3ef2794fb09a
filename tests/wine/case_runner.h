// A small case runner for the Windows test program: cases register
// themselves with ZRVK_CASE, report failed checks with CHECK/CHECK_EQ and may
// end as skipped with a reason. Roles (ZRVK_ROLE) are what the program does
// when a case starts it again as a child: `zrvk-windows-tests --role NAME ...`.
#pragma once

#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace wintest {

using CaseFn = void (*)();
using RoleFn = int (*)(const std::vector<std::string>& args);

struct CaseRegistrar {
    CaseRegistrar(const char* name, CaseFn run);
};
struct RoleRegistrar {
    RoleRegistrar(const char* name, RoleFn run);
};

// Records a failed check of the current case; the case goes on.
void fail(const char* file, int line, const std::string& what);
// Ends the current case as skipped, naming why.
[[noreturn]] void skip(const std::string& reason);
// Ends the current case as failed (a check whose failure makes the rest meaningless).
[[noreturn]] void abortCase(const char* file, int line, const std::string& what);

std::string show(const std::string& text);
inline std::string show(const char* text) { return show(std::string(text)); }
inline std::string show(bool value) { return value ? "true" : "false"; }
template <typename T>
std::string show(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

}  // namespace wintest

#define ZRVK_CASE(name)                                                  \
    static void name();                                                  \
    static ::wintest::CaseRegistrar name##_registrar(#name, name);       \
    static void name()

#define ZRVK_ROLE(name)                                                                  \
    static int name##_role(const std::vector<std::string>& args);                        \
    static ::wintest::RoleRegistrar name##_role_registrar(#name, name##_role);           \
    static int name##_role([[maybe_unused]] const std::vector<std::string>& args)

#define CHECK(cond)                                              \
    do {                                                         \
        if (!(cond)) ::wintest::fail(__FILE__, __LINE__, #cond); \
    } while (0)

#define REQUIRE(cond)                                             \
    do {                                                          \
        if (!(cond)) ::wintest::abortCase(__FILE__, __LINE__, #cond); \
    } while (0)

#define CHECK_EQ(actual, expected)                                                                      \
    do {                                                                                                \
        const auto& actual_ = (actual);                                                                 \
        const auto& expected_ = (expected);                                                             \
        if (!(actual_ == expected_))                                                                    \
            ::wintest::fail(__FILE__, __LINE__,                                                         \
                            std::string(#actual " == " #expected ": got ") + ::wintest::show(actual_) + \
                                ", expected " + ::wintest::show(expected_));                            \
    } while (0)
