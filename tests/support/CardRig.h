#pragma once

#include "rksv/units/SoftwareUnit.h"
#include "tests/support/SoftHsm.h"

#include <map>
#include <memory>
#include <ostream>
#include <string>

namespace testsupport {

//! The signing components the signing tests run on.
enum class CardKind
{
    Software, //!< the software signature unit, cards in reader folders
    Pkcs11    //!< the PKCS#11 component on SoftHSM2 tokens, through the card module of tests/support
};

std::string nameOf(CardKind kind);
//! Test names show the component's name.
inline void PrintTo(CardKind kind, std::ostream* out)
{
    *out << nameOf(kind);
}

/**
 * Signature cards of either component for one test in `folder`: the same test card (createTestCard) sits in a
 * reader folder of the software unit or on a SoftHSM2 token of its own, labelled with the card's name. The PKCS#11
 * component loads SoftHSM2 through the test card module (tests/support/CardPkcs11Module.cpp), which adds the PIN
 * counter and the device failure a card has; its provider code is the software unit's, so both sign receipts of the
 * same form. Failures are GoogleTest failures.
 */
class CardRig
{
public:
    CardRig(CardKind kind, const std::string& folder);
    ~CardRig();
    CardRig(const CardRig&) = delete;
    CardRig& operator=(const CardRig&) = delete;

    CardKind kind() const { return m_kind; }
    //! "Signatur" of INSTALLATION.INI for the component.
    std::string signatur() const;
    //! Makes the card `name` and puts it into a reader; returns its serial.
    std::string createCard(const std::string& name,
                           const std::string& pin,
                           const std::string& caDir,
                           rksv::TestCardIssuer issuer = rksv::TestCardIssuer::RootCa);
    //! The reader the card `name` went into, as the component names it.
    std::string reader(const std::string& name) const;
    //! The card's certificate, Base64 DER.
    std::string certificate(const std::string& name) const;
    //! Takes the card out of its reader, and puts it back.
    void takeOut(const std::string& name);
    void putBack(const std::string& name);
    //! The wrong PINs in a row the card has counted.
    int wrongPins(const std::string& name) const;
    //! The PINs presented to the card (the software unit's: by this process).
    long pinChecks(const std::string& name) const;
    //! The card's signature device fails, or works again.
    void setFailed(const std::string& name, bool failed);

private:
    CardKind m_kind;
    std::string m_folder;
    std::unique_ptr<SoftHsm> m_hsm;
    std::map<std::string, std::string> m_readers;
    std::map<std::string, std::string> m_certificates;
};

} // namespace testsupport
