#pragma once

#include "rksv/format/TurnoverCounter.h"

#include <string>
#include <vector>

namespace testsupport {

/**
 * Checks one till's receipts in the order they were signed, as a tax auditor's verifier does: every signature verifies
 * against the card certificate (Base64 DER; receipts signed while the device had failed carry the marker instead)
 * whose serial the receipt names; every receipt chains to the one before; a start receipt (chained to the till id) is
 * the first or follows a null receipt, carries counter 0 and no amounts and is properly signed; every turnover counter
 * decrypts to the running sum since the start receipt; no receipt id repeats; the date and time never go back.
 * Failures are reported as GoogleTest failures naming the receipt.
 */
void expectSoundChain(const std::vector<std::string>& jwsList,
                      const std::string& kassa,
                      const rksv::AesKey& key,
                      const std::string& certificateBase64);
//! The same with the certificate of each receipt's card, one per receipt.
void expectSoundChain(const std::vector<std::string>& jwsList,
                      const std::string& kassa,
                      const rksv::AesKey& key,
                      const std::vector<std::string>& certificatesBase64);

/**
 * Checks an exported DEP of one till: its groups (each with a signing certificate and one Base64 DER certificate per
 * issuer in `Zertifizierungsstellen`, the first of them the certificate's issuer), then the chain of all its receipts
 * as expectSoundChain does. Returns the receipts in DEP order.
 */
std::vector<std::string> expectSoundDep(const std::string& json, const std::string& kassa, const rksv::AesKey& key);

//! The card certificate of a reader folder of the software signature unit, as Base64 DER.
std::string certificateOfReader(const std::string& readerFolder);

} // namespace testsupport
