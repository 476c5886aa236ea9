#pragma once

#include <map>
#include <optional>
#include <string>

namespace testsupport {

/**
 * A private SoftHSM2 installation for one test: its configuration and token folder live in `folder`, and
 * SOFTHSM2_CONF points at it while the object lives (the variable's old value comes back at the end). Tokens are
 * made with softhsm2-util and filled with pkcs11-tool, as an operator would. Each token is one card: an EC key and
 * its certificate under CKA_ID 01, the issuing certificates beside them.
 */
class SoftHsm
{
public:
    //! SoftHSM2's module as Debian installs it.
    static constexpr const char* MODULE = "/usr/lib/softhsm/libsofthsm2.so";
    //! The token's security officer PIN.
    static constexpr const char* SO_PIN = "87654321";

    explicit SoftHsm(const std::string& folder);
    ~SoftHsm();
    SoftHsm(const SoftHsm&) = delete;
    SoftHsm& operator=(const SoftHsm&) = delete;

    /**
     * Makes the token `label` (user PIN `pin`) with the key (PEM, PKCS#8, encrypted under `pin` or not), the card
     * certificate and the issuing certificates (PEM, any number). The token keeps its serial when it is made again
     * under the same label, as a card put back into its reader. Returns the name of the slot it got as the component
     * reports readers ("SoftHSM slot ID 0x…"); nothing when a tool fails (the tools' output in error()).
     */
    [[nodiscard]] std::optional<std::string> addToken(const std::string& label,
                                                      const std::string& pin,
                                                      const std::string& keyPem,
                                                      const std::string& certificatePem,
                                                      const std::string& chainPem);
    //! Deletes the token, as a card taken out of its reader; false when softhsm2-util fails.
    [[nodiscard]] bool removeToken(const std::string& label);
    //! The token made again from what addToken was given the last time for that label.
    [[nodiscard]] std::optional<std::string> putBack(const std::string& label);

    const std::string& error() const { return m_error; }

private:
    struct Card
    {
        std::string pin;
        std::string keyPem;
        std::string certificatePem;
        std::string chainPem;
        std::string serial;
    };
    [[nodiscard]] bool run(const std::string& command, std::string* output = nullptr);

    std::string m_folder;
    std::optional<std::string> m_oldConf;
    std::map<std::string, Card> m_cards;
    int m_next = 0;
    std::string m_error;
};

} // namespace testsupport
