#include "settings/UpperCaseValidator.h"

namespace settings::gui {

UpperCaseValidator::UpperCaseValidator(QObject* parent)
    : QValidator(parent)
{}

QValidator::State UpperCaseValidator::validate(QString& input, int& /*pos*/) const
{
    fixup(input);
    return Acceptable;
}

void UpperCaseValidator::fixup(QString& input) const
{
    for (QChar& c : input) {
        c = c.toUpper();
    }
}

} // namespace settings::gui
