#pragma once

// A shared library opened on the first call of one of its functions, not when the program starts: binding a library
// (its relocations and start-up code, and those of what it needs) is part of what the program does before its first
// window appears, and a session needs each of these libraries only for some of its work, if at all.
//
// One source file per library names the library and defines each function the program calls under its own name,
// forwarding to the library's function:
//
//     LATE_LIBRARY(ODBC_SONAME, "ODBC")
//     LATE2(SQLFetch) ...
//
// A program that links that file (and links with --as-needed) therefore does not depend on the library; a function
// missing from the list brings the dependency back, which the test `program_starts_without_late_libraries` reports.
// The compiler checks each definition against the library's own declaration: a wrong number of arguments does not
// compile.
#include <cstddef>
#include <tuple>

namespace base {

class LateLibrary
{
public:
    //! Opens `file` (its run-time name, e.g. "libodbc.so.2"); `what` names it in the message when that fails.
    LateLibrary(const char* file, const char* what);
    LateLibrary(const LateLibrary&) = delete;
    LateLibrary& operator=(const LateLibrary&) = delete;

    //! The library's function `name`. The package depends on the library, so a library or function that cannot be
    //! found is a broken installation: the program ends with one German line on standard error.
    [[nodiscard]] void* symbol(const char* name) const;

private:
    void* m_handle;
    const char* m_what;
};

template <typename Function> struct LateSignature;
template <typename Result_, typename... Args> struct LateSignature<Result_(Args...)>
{
    using Result = Result_;
    template <std::size_t I> using Arg = std::tuple_element_t<I, std::tuple<Args...>>;
};

} // namespace base

// The library the LATEn definitions of this source file forward to.
#define LATE_LIBRARY(file, what)                                                                                       \
    namespace {                                                                                                        \
    void* lateSymbol(const char* name)                                                                                 \
    {                                                                                                                  \
        static const base::LateLibrary library(file, what);                                                            \
        return library.symbol(name);                                                                                   \
    }                                                                                                                  \
    }

// The library's function, looked up once; LATEn(name) defines `name` with its n parameters.
#define LATE_REAL(name) static const auto real = reinterpret_cast<decltype(&name)>(lateSymbol(#name))
#define LATE_RESULT(name) base::LateSignature<decltype(name)>::Result
#define LATE_P(name, i) base::LateSignature<decltype(name)>::Arg<i> p##i
#define LATE0(name)                                                                                                    \
    extern "C" LATE_RESULT(name) name()                                                                                \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real();                                                                                                 \
    }
#define LATE1(name)                                                                                                    \
    extern "C" LATE_RESULT(name) name(LATE_P(name, 0))                                                                 \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0);                                                                                               \
    }
#define LATE2(name)                                                                                                    \
    extern "C" LATE_RESULT(name) name(LATE_P(name, 0), LATE_P(name, 1))                                                \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1);                                                                                           \
    }
#define LATE3(name)                                                                                                    \
    extern "C" LATE_RESULT(name) name(LATE_P(name, 0), LATE_P(name, 1), LATE_P(name, 2))                               \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2);                                                                                       \
    }
#define LATE4(name)                                                                                                    \
    extern "C" LATE_RESULT(name) name(LATE_P(name, 0), LATE_P(name, 1), LATE_P(name, 2), LATE_P(name, 3))              \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2, p3);                                                                                   \
    }
#define LATE5(name)                                                                                                    \
    extern "C" LATE_RESULT(name)                                                                                       \
        name(LATE_P(name, 0), LATE_P(name, 1), LATE_P(name, 2), LATE_P(name, 3), LATE_P(name, 4))                      \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2, p3, p4);                                                                               \
    }
#define LATE6(name)                                                                                                    \
    extern "C" LATE_RESULT(name)                                                                                       \
        name(LATE_P(name, 0), LATE_P(name, 1), LATE_P(name, 2), LATE_P(name, 3), LATE_P(name, 4), LATE_P(name, 5))     \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2, p3, p4, p5);                                                                           \
    }
#define LATE7(name)                                                                                                    \
    extern "C" LATE_RESULT(name) name(LATE_P(name, 0),                                                                 \
                                      LATE_P(name, 1),                                                                 \
                                      LATE_P(name, 2),                                                                 \
                                      LATE_P(name, 3),                                                                 \
                                      LATE_P(name, 4),                                                                 \
                                      LATE_P(name, 5),                                                                 \
                                      LATE_P(name, 6))                                                                 \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2, p3, p4, p5, p6);                                                                       \
    }
#define LATE8(name)                                                                                                    \
    extern "C" LATE_RESULT(name) name(LATE_P(name, 0),                                                                 \
                                      LATE_P(name, 1),                                                                 \
                                      LATE_P(name, 2),                                                                 \
                                      LATE_P(name, 3),                                                                 \
                                      LATE_P(name, 4),                                                                 \
                                      LATE_P(name, 5),                                                                 \
                                      LATE_P(name, 6),                                                                 \
                                      LATE_P(name, 7))                                                                 \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2, p3, p4, p5, p6, p7);                                                                   \
    }
#define LATE9(name)                                                                                                    \
    extern "C" LATE_RESULT(name) name(LATE_P(name, 0),                                                                 \
                                      LATE_P(name, 1),                                                                 \
                                      LATE_P(name, 2),                                                                 \
                                      LATE_P(name, 3),                                                                 \
                                      LATE_P(name, 4),                                                                 \
                                      LATE_P(name, 5),                                                                 \
                                      LATE_P(name, 6),                                                                 \
                                      LATE_P(name, 7),                                                                 \
                                      LATE_P(name, 8))                                                                 \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2, p3, p4, p5, p6, p7, p8);                                                               \
    }
#define LATE10(name)                                                                                                   \
    extern "C" LATE_RESULT(name) name(LATE_P(name, 0),                                                                 \
                                      LATE_P(name, 1),                                                                 \
                                      LATE_P(name, 2),                                                                 \
                                      LATE_P(name, 3),                                                                 \
                                      LATE_P(name, 4),                                                                 \
                                      LATE_P(name, 5),                                                                 \
                                      LATE_P(name, 6),                                                                 \
                                      LATE_P(name, 7),                                                                 \
                                      LATE_P(name, 8),                                                                 \
                                      LATE_P(name, 9))                                                                 \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2, p3, p4, p5, p6, p7, p8, p9);                                                           \
    }
