#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <p11-kit/pkcs11.h>
#include <string>

namespace rksv {

/**
 * A PKCS#11 module loaded with dlopen and initialised (C_Initialize with CKF_OS_LOCKING_OK), shared by everything in
 * the process that opens the same path: a module is initialised once per process, so two signing components on one
 * module share it. The last owner finalises it (C_Finalize) and unloads it. A module that some other part of the
 * process initialised first is used as it is and never finalised here.
 *
 * Some modules (SoftHSM2 among them) read their tokens only when initialised and never notice a token removed or
 * added later; reinitialise() makes them look again. It ends every session and login of every owner: each owner
 * compares generation() with the one its sessions were opened in.
 *
 * Every call into the module goes through call(): it runs on the module's own thread, one call at a time, and the
 * caller waits at most the module's time limit. A module that does not answer within it (a card that hangs, a
 * vendor module waiting for a network HSM) has failed: that call and every later one answer NO_ANSWER at once,
 * stalled() tells which call it was, and the module stays loaded for the rest of the run, since its thread is still
 * inside it. Opening the same path again gives the same refusal.
 */
class Pkcs11Module
{
public:
    //! What a call answers when the module did not answer in time, or has not since.
    static constexpr CK_RV NO_ANSWER = CKR_VENDOR_DEFINED | 0x51560001UL;
    //! The time limit of a call when the settings give none.
    static constexpr std::chrono::milliseconds DEFAULT_TIME_LIMIT{30000};

    //! The module at `path`, loaded and initialised now or shared with its other owners (whose time limit it keeps).
    //! Nothing, with `error` in German, when it cannot be loaded, has no C_GetFunctionList, refuses to initialise or
    //! does not answer C_Initialize within `limit`.
    [[nodiscard]] static std::shared_ptr<Pkcs11Module>
    open(const std::string& path, std::string& error, std::chrono::milliseconds limit = DEFAULT_TIME_LIMIT);

    ~Pkcs11Module();
    Pkcs11Module(const Pkcs11Module&) = delete;
    Pkcs11Module& operator=(const Pkcs11Module&) = delete;

    /**
     * Calls the module: `work(functions, copy)` runs on the module's thread with a copy of `state`, which comes back
     * into `state` when the module answered in time. Everything the module reads or writes belongs in the state
     * (buffers, PKCS#11 structures), never on the caller's stack: a module that answers after the time limit writes
     * into the copy, which lives as long as that call. `function` names the call in the message ("C_Sign").
     */
    template <typename State, typename Call> [[nodiscard]] CK_RV call(const char* function, State& state, Call&& work)
    {
        auto copy = std::make_shared<State>(state);
        const CK_RV rv =
            run(function, [copy, work = std::forward<Call>(work)](CK_FUNCTION_LIST* f) { return work(f, *copy); });
        if (rv != NO_ANSWER) {
            state = std::move(*copy);
        }
        return rv;
    }
    //! A call that passes the module nothing by address.
    template <typename Call> [[nodiscard]] CK_RV call(const char* function, Call&& work)
    {
        return run(function, std::forward<Call>(work));
    }

    //! Whether a call did not answer in time; then stallMessage() says so in German.
    [[nodiscard]] bool stalled() const;
    [[nodiscard]] std::string stallMessage() const;
    std::chrono::milliseconds timeLimit() const { return m_limit; }

    //! The module's functions, called directly on the caller's thread and without a time limit (for measurements
    //! of the bare module); valid while this object lives.
    CK_FUNCTION_LIST* operator->() const { return m_functions; }
    //! Counts the initialisations; sessions opened in an older one are gone.
    unsigned long generation() const { return m_generation; }
    //! Finalises and initialises the module again; false when it refuses to come back.
    [[nodiscard]] bool reinitialise();
    const std::string& path() const { return m_path; }

private:
    struct Worker;

    Pkcs11Module(std::string path, void* library, CK_FUNCTION_LIST* functions, std::chrono::milliseconds limit);
    [[nodiscard]] CK_RV initialise();
    [[nodiscard]] CK_RV run(const char* function, std::function<CK_RV(CK_FUNCTION_LIST*)> call);

    std::string m_path;
    void* m_library;
    CK_FUNCTION_LIST* m_functions;
    std::chrono::milliseconds m_limit;
    std::shared_ptr<Worker> m_worker;
    bool m_finalise = false;
    unsigned long m_generation = 0;
};

//! A PKCS#11 return value as the standard writes it ("0x000000a0"), for messages.
std::string pkcs11Code(unsigned long rv);

} // namespace rksv
