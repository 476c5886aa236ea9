#pragma once

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
 */
class Pkcs11Module
{
public:
    //! The module at `path`, loaded and initialised now or shared with its other owners. Nothing, with `error` in
    //! German, when it cannot be loaded, has no C_GetFunctionList, or refuses to initialise.
    [[nodiscard]] static std::shared_ptr<Pkcs11Module> open(const std::string& path, std::string& error);

    ~Pkcs11Module();
    Pkcs11Module(const Pkcs11Module&) = delete;
    Pkcs11Module& operator=(const Pkcs11Module&) = delete;

    //! The module's functions; valid while this object lives.
    CK_FUNCTION_LIST* operator->() const { return m_functions; }
    //! Counts the initialisations; sessions opened in an older one are gone.
    unsigned long generation() const { return m_generation; }
    //! Finalises and initialises the module again; false when it refuses to come back.
    [[nodiscard]] bool reinitialise();
    const std::string& path() const { return m_path; }

private:
    Pkcs11Module(std::string path, void* library, CK_FUNCTION_LIST* functions);
    [[nodiscard]] CK_RV initialise();

    std::string m_path;
    void* m_library;
    CK_FUNCTION_LIST* m_functions;
    bool m_finalise = false;
    unsigned long m_generation = 0;
};

//! A PKCS#11 return value as the standard writes it ("0x000000a0"), for messages.
std::string pkcs11Code(unsigned long rv);

} // namespace rksv
