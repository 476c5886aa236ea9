#pragma once

// A shared library opened on the first call of one of its functions, not when the program starts: binding a library
// (its relocations and start-up code, and those of what it needs) is part of what the program does before its first
// window appears, and a session needs each of these libraries only for some of its work, if at all.
//
// One source file per library names the library and defines each function the program calls under its own name,
// forwarding to the library's function:
//
//     LATE_LIBRARY("libcrypto.so.3", "OpenSSL")
//     LATE2(EVP_sha256) ...
//
// A program that links that file (and links with --as-needed) therefore does not depend on the library; a function
// missing from the list brings the dependency back, which the test `program_starts_without_late_libraries` reports.
// The compiler checks each definition against the library's own declaration: a wrong number of arguments does not
// compile.
//
// The definitions are hidden: the program's dynamic symbol table (it is linked with -rdynamic for the call stacks of
// ERROR.LOG) does not offer them, so the library itself, the libraries that use it (libssl under libcurl, a PKCS#11
// module) and a module that brings its own copy of the library bind their calls to their own library, never to the
// program. The test `program_exports_no_forwarder` checks that.
//
// A library that cannot be opened, or lacks a function, ends nothing: the forwarders of its functions return the
// value-initialised result (0, a null pointer), the library's usual failure, and lateLibraryProblem() says what is
// missing. The features that need the library ask first and refuse with their own German message.
#include <cstddef>
#include <string>
#include <tuple>

namespace base {

class LateLibrary
{
public:
    //! Opens `file` (its run-time name, e.g. "libodbc.so.2"); `what` names it in the message when that fails.
    LateLibrary(const char* file, const char* what);
    LateLibrary(const LateLibrary&) = delete;
    LateLibrary& operator=(const LateLibrary&) = delete;

    //! The library's function `name`; nullptr when the library or the function cannot be found (a broken
    //! installation), which lateLibraryProblem() then tells and standard error shows once.
    [[nodiscard]] void* symbol(const char* name) const;

private:
    void* m_handle;
    const char* m_what;
};

//! What the first library or function that could not be found was, as one German sentence: "Die Bibliothek OpenSSL
//! (libcrypto.so.3) kann nicht geladen werden: …"; "" while nothing is missing. Thread-safe.
[[nodiscard]] std::string lateLibraryProblem();

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
#define LATE_REAL(name)                                                                                                \
    static const auto real = reinterpret_cast<decltype(&name)>(lateSymbol(#name));                                     \
    if (!real) {                                                                                                       \
        return LATE_RESULT(name)();                                                                                    \
    }
#define LATE_HIDDEN __attribute__((visibility("hidden")))
#define LATE_RESULT(name) base::LateSignature<decltype(name)>::Result
#define LATE_P(name, i) base::LateSignature<decltype(name)>::Arg<i> p##i
#define LATE0(name)                                                                                                    \
    extern "C" LATE_HIDDEN LATE_RESULT(name) name()                                                                    \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real();                                                                                                 \
    }
#define LATE1(name)                                                                                                    \
    extern "C" LATE_HIDDEN LATE_RESULT(name) name(LATE_P(name, 0))                                                     \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0);                                                                                               \
    }
#define LATE2(name)                                                                                                    \
    extern "C" LATE_HIDDEN LATE_RESULT(name) name(LATE_P(name, 0), LATE_P(name, 1))                                    \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1);                                                                                           \
    }
#define LATE3(name)                                                                                                    \
    extern "C" LATE_HIDDEN LATE_RESULT(name) name(LATE_P(name, 0), LATE_P(name, 1), LATE_P(name, 2))                   \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2);                                                                                       \
    }
#define LATE4(name)                                                                                                    \
    extern "C" LATE_HIDDEN LATE_RESULT(name) name(LATE_P(name, 0), LATE_P(name, 1), LATE_P(name, 2), LATE_P(name, 3))  \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2, p3);                                                                                   \
    }
#define LATE5(name)                                                                                                    \
    extern "C" LATE_HIDDEN LATE_RESULT(name)                                                                           \
        name(LATE_P(name, 0), LATE_P(name, 1), LATE_P(name, 2), LATE_P(name, 3), LATE_P(name, 4))                      \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2, p3, p4);                                                                               \
    }
#define LATE6(name)                                                                                                    \
    extern "C" LATE_HIDDEN LATE_RESULT(name)                                                                           \
        name(LATE_P(name, 0), LATE_P(name, 1), LATE_P(name, 2), LATE_P(name, 3), LATE_P(name, 4), LATE_P(name, 5))     \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2, p3, p4, p5);                                                                           \
    }
#define LATE7(name)                                                                                                    \
    extern "C" LATE_HIDDEN LATE_RESULT(name) name(LATE_P(name, 0),                                                     \
                                                  LATE_P(name, 1),                                                     \
                                                  LATE_P(name, 2),                                                     \
                                                  LATE_P(name, 3),                                                     \
                                                  LATE_P(name, 4),                                                     \
                                                  LATE_P(name, 5),                                                     \
                                                  LATE_P(name, 6))                                                     \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2, p3, p4, p5, p6);                                                                       \
    }
#define LATE8(name)                                                                                                    \
    extern "C" LATE_HIDDEN LATE_RESULT(name) name(LATE_P(name, 0),                                                     \
                                                  LATE_P(name, 1),                                                     \
                                                  LATE_P(name, 2),                                                     \
                                                  LATE_P(name, 3),                                                     \
                                                  LATE_P(name, 4),                                                     \
                                                  LATE_P(name, 5),                                                     \
                                                  LATE_P(name, 6),                                                     \
                                                  LATE_P(name, 7))                                                     \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2, p3, p4, p5, p6, p7);                                                                   \
    }
#define LATE9(name)                                                                                                    \
    extern "C" LATE_HIDDEN LATE_RESULT(name) name(LATE_P(name, 0),                                                     \
                                                  LATE_P(name, 1),                                                     \
                                                  LATE_P(name, 2),                                                     \
                                                  LATE_P(name, 3),                                                     \
                                                  LATE_P(name, 4),                                                     \
                                                  LATE_P(name, 5),                                                     \
                                                  LATE_P(name, 6),                                                     \
                                                  LATE_P(name, 7),                                                     \
                                                  LATE_P(name, 8))                                                     \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2, p3, p4, p5, p6, p7, p8);                                                               \
    }
#define LATE10(name)                                                                                                   \
    extern "C" LATE_HIDDEN LATE_RESULT(name) name(LATE_P(name, 0),                                                     \
                                                  LATE_P(name, 1),                                                     \
                                                  LATE_P(name, 2),                                                     \
                                                  LATE_P(name, 3),                                                     \
                                                  LATE_P(name, 4),                                                     \
                                                  LATE_P(name, 5),                                                     \
                                                  LATE_P(name, 6),                                                     \
                                                  LATE_P(name, 7),                                                     \
                                                  LATE_P(name, 8),                                                     \
                                                  LATE_P(name, 9))                                                     \
    {                                                                                                                  \
        LATE_REAL(name);                                                                                               \
        return real(p0, p1, p2, p3, p4, p5, p6, p7, p8, p9);                                                           \
    }
