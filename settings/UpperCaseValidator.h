#pragma once

#include <QValidator>

namespace settings::gui {

/**
 * The picture "!" of an entry field: every character becomes upper case as it is typed or set. Each character is
 * converted on its own ("ß" stays one character), so the length of the text never changes and a field's maximum
 * length still holds. Never rejects input.
 */
class UpperCaseValidator : public QValidator
{
    Q_OBJECT

public:
    explicit UpperCaseValidator(QObject* parent = nullptr);

    State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
};

} // namespace settings::gui
