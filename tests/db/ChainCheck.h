#pragma once

#include "rksv/TurnoverCounter.h"

#include <string>
#include <vector>

namespace testsupport {

/**
 * Checks one till's receipts in the order they were signed: every signature verifies against the card certificate
 * (Base64 DER; receipts signed while the device had failed carry the marker instead), every receipt chains to the
 * one before (the first to the till id), and every turnover counter decrypts to the running sum of the amounts.
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

//! The card certificate of a reader folder of the software signature unit, as Base64 DER.
std::string certificateOfReader(const std::string& readerFolder);

} // namespace testsupport
