// A PKCS#11 module for tests that makes SoftHSM2 behave like a smart card in two ways SoftHSM2 leaves out: it
// counts wrong user PINs and locks the PIN after the third, and its signature device can fail. Every call goes to the
// module named by QUORVEX_CARD_MODULE_TARGET (SoftHSM2 when unset); only C_Login, C_GetTokenInfo and C_SignInit are
// looked at on the way. The card's state lives in the folder QUORVEX_CARD_MODULE_STATE, per token label:
//   <label>.pin-fehler   the wrong PINs in a row (0 to 3). At 3 C_Login answers CKR_PIN_LOCKED without asking
//                        SoftHSM2, and C_GetTokenInfo shows CKF_USER_PIN_LOCKED; at 1 and 2 CKF_USER_PIN_COUNT_LOW,
//                        at 2 also CKF_USER_PIN_FINAL_TRY. A right PIN before the third sets it back to 0.
//   <label>.ausgefallen  present: the signature device has failed, C_SignInit answers CKR_DEVICE_ERROR.
//   <label>.pin-pruefungen  the user PINs presented to the card (C_Login as user), counted up.
// QUORVEX_CARD_MODULE_HANG names one of C_Initialize, C_Login and C_Sign: that call does not answer for ten minutes,
// as a card or network HSM that hangs.
// It is a real module, loaded with dlopen through C_GetFunctionList like any other; it holds no key of its own.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <p11-kit/pkcs11.h>
#include <string>
#include <thread>

namespace {

constexpr int PIN_TRIES = 3;

CK_FUNCTION_LIST* g_target = nullptr;
CK_FUNCTION_LIST g_functions;

std::string stateFile(CK_SLOT_ID slot, const char* suffix)
{
    CK_TOKEN_INFO info{};
    const char* folder = std::getenv("QUORVEX_CARD_MODULE_STATE");
    if (folder == nullptr || g_target->C_GetTokenInfo(slot, &info) != CKR_OK) {
        return {};
    }
    std::string label(reinterpret_cast<const char*>(info.label), sizeof(info.label));
    label.erase(label.find_last_not_of(' ') + 1);
    return std::string(folder) + "/" + label + suffix;
}

int wrongPins(CK_SLOT_ID slot)
{
    int count = 0;
    std::ifstream(stateFile(slot, ".pin-fehler")) >> count;
    return count;
}

void storeWrongPins(CK_SLOT_ID slot, int count)
{
    const std::string file = stateFile(slot, ".pin-fehler");
    if (!file.empty()) {
        std::ofstream(file, std::ios::trunc) << count << "\n";
    }
}

//! Does not answer for ten minutes when QUORVEX_CARD_MODULE_HANG names `function`.
void hangIn(const char* function)
{
    const char* hang = std::getenv("QUORVEX_CARD_MODULE_HANG");
    if (hang != nullptr && std::strcmp(hang, function) == 0) {
        std::this_thread::sleep_for(std::chrono::minutes(10));
    }
}

CK_SLOT_ID slotOf(CK_SESSION_HANDLE session)
{
    CK_SESSION_INFO info{};
    return g_target->C_GetSessionInfo(session, &info) == CKR_OK ? info.slotID : CK_SLOT_ID(-1);
}

CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG length)
{
    hangIn("C_Login");
    if (user != CKU_USER) {
        return g_target->C_Login(session, user, pin, length);
    }
    const CK_SLOT_ID slot = slotOf(session);
    const std::string checks = stateFile(slot, ".pin-pruefungen");
    if (!checks.empty()) {
        long count = 0;
        std::ifstream(checks) >> count;
        std::ofstream(checks, std::ios::trunc) << count + 1 << "\n";
    }
    const int wrong = wrongPins(slot);
    if (wrong >= PIN_TRIES) {
        return CKR_PIN_LOCKED;
    }
    const CK_RV rv = g_target->C_Login(session, user, pin, length);
    if (rv == CKR_PIN_INCORRECT) {
        storeWrongPins(slot, wrong + 1);
    } else if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
        storeWrongPins(slot, 0);
    }
    return rv;
}

CK_RV tokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info)
{
    const CK_RV rv = g_target->C_GetTokenInfo(slot, info);
    if (rv != CKR_OK) {
        return rv;
    }
    const int wrong = wrongPins(slot);
    info->flags &= ~(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED);
    if (wrong >= PIN_TRIES) {
        info->flags |= CKF_USER_PIN_LOCKED;
    } else if (wrong > 0) {
        info->flags |= CKF_USER_PIN_COUNT_LOW | (wrong == PIN_TRIES - 1 ? CKF_USER_PIN_FINAL_TRY : 0);
    }
    return CKR_OK;
}

CK_RV initialize(void* arguments)
{
    hangIn("C_Initialize");
    return g_target->C_Initialize(arguments);
}

CK_RV sign(CK_SESSION_HANDLE session, CK_BYTE* data, CK_ULONG length, CK_BYTE* signature, CK_ULONG* signatureLength)
{
    hangIn("C_Sign");
    return g_target->C_Sign(session, data, length, signature, signatureLength);
}

CK_RV signInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key)
{
    const std::string failed = stateFile(slotOf(session), ".ausgefallen");
    if (!failed.empty() && std::filesystem::exists(failed)) {
        return CKR_DEVICE_ERROR;
    }
    return g_target->C_SignInit(session, mechanism, key);
}

} // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list)
{
    if (list == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    if (g_target == nullptr) {
        const char* path = std::getenv("QUORVEX_CARD_MODULE_TARGET");
        void* library = ::dlopen(path != nullptr ? path : "/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
        void* symbol = library != nullptr ? ::dlsym(library, "C_GetFunctionList") : nullptr;
        CK_C_GetFunctionList get = nullptr;
        std::memcpy(&get, &symbol, sizeof(symbol));
        if (get == nullptr || get(&g_target) != CKR_OK || g_target == nullptr) {
            g_target = nullptr;
            return CKR_GENERAL_ERROR;
        }
        g_functions = *g_target;
        g_functions.C_Login = &login;
        g_functions.C_GetTokenInfo = &tokenInfo;
        g_functions.C_SignInit = &signInit;
        g_functions.C_Initialize = &initialize;
        g_functions.C_Sign = &sign;
    }
    *list = &g_functions;
    return CKR_OK;
}
