#include "rksv/units/Component.h"

#include "rksv/units/Pkcs11Unit.h"
#include "rksv/units/SoftwareUnit.h"

#include <filesystem>
#include <string_view>

namespace rksv {

namespace {

constexpr std::string_view SOFTWARE_NAME = "Software";
constexpr std::string_view DEFAULT_READERS_FOLDER = "Karten";

} // namespace

std::unique_ptr<Component> createComponent(const std::string& signatur)
{
    const std::string_view text = signatur;
    const std::size_t colon = text.find(':');
    const std::string_view name = text.substr(0, colon);
    if (name == Pkcs11Unit::NAME) {
        const auto settings =
            colon == std::string_view::npos ? std::nullopt : parsePkcs11Settings(text.substr(colon + 1));
        return settings ? std::make_unique<Pkcs11Unit>(*settings) : nullptr;
    }
    if (!text.empty() && name != SOFTWARE_NAME) {
        return nullptr;
    }
    std::string_view folder = DEFAULT_READERS_FOLDER;
    if (colon != std::string_view::npos) {
        folder = text.substr(colon + 1);
        if (folder.empty()) {
            return nullptr;
        }
    }
    return std::make_unique<SoftwareUnit>(std::filesystem::current_path() / std::filesystem::path(folder));
}

} // namespace rksv
