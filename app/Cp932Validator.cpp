#include "app/Cp932Validator.h"

#include <QLineEdit>

#include "mime/Codepage.h"

namespace {

// Length of the character (one or two UTF-16 units) that starts at index i.
qsizetype CharLength(QStringView text, qsizetype i) {
    return (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) ? 2
                                                                                              : 1;
}

// Bytes of one character in code page 932, 0 when it cannot be held.
int CharBytes(QStringView character) {
    if (character.size() == 1 && character[0].unicode() < 0x80) {
        return 1;
    }
    const auto converted = Utf8ToCp932(character.toUtf8().toStdString());
    return converted ? static_cast<int>(converted->size()) : 0;
}

}  // namespace

CCp932Validator::CCp932Validator(int maxBytes, QLineEdit* edit)
    : QValidator(edit), m_maxBytes(maxBytes), m_lastText(edit->text()) {
    connect(edit, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_lastText = text; });
}

bool CCp932Validator::IsCp932(QStringView character) {
    return CharBytes(character) > 0;
}

int CCp932Validator::Cp932Length(QStringView text) {
    int bytes = 0;
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n = CharLength(text, i);
        bytes += std::max(CharBytes(text.mid(i, n)), 1);
        i += n;
    }
    return bytes;
}

QValidator::State CCp932Validator::validate(QString& input, int& pos) const {
    // Find what changed: the text between the common head and the common tail.
    const QString& old = m_lastText;
    qsizetype head = 0;
    const qsizetype shorter = std::min(old.size(), input.size());
    while (head < shorter && old[head] == input[head]) {
        ++head;
    }
    if (head > 0 && input[head - 1].isHighSurrogate()) {
        --head;
    }
    qsizetype tail = 0;
    while (tail < shorter - head && old[old.size() - 1 - tail] == input[input.size() - 1 - tail]) {
        ++tail;
    }
    if (tail > 0 && input[input.size() - tail].isLowSurrogate()) {
        --tail;
    }
    const QStringView typed = QStringView(input).mid(head, input.size() - head - tail);

    QString kept;
    for (qsizetype i = 0; i < typed.size();) {
        const qsizetype n = CharLength(typed, i);
        if (IsCp932(typed.mid(i, n))) {
            kept += typed.mid(i, n);
        }
        i += n;
    }
    if (m_maxBytes != kNoLimit) {
        const int fixedBytes = Cp932Length(QStringView(input).left(head)) +
                               Cp932Length(QStringView(input).right(tail));
        while (!kept.isEmpty() && fixedBytes + Cp932Length(kept) > m_maxBytes) {
            kept.chop(kept.size() >= 2 && kept.back().isLowSurrogate() ? 2 : 1);
        }
    }
    if (kept.size() != typed.size()) {
        input = input.left(head) + kept + input.right(tail);
        pos = static_cast<int>(head + kept.size());
    }
    return Acceptable;
}
