#pragma once

#include <QString>
#include <QValidator>

class QLineEdit;

// Keeps what is typed into an edit storable as code page 932 within a byte limit,
// the way the edit limits of the settings have always counted (in bytes, so one
// Japanese character takes two). Of newly typed or pasted text, characters that
// code page 932 cannot hold are dropped and the tail that would pass the limit is
// cut off; text that was already there (set by the program) is never touched.
class CCp932Validator : public QValidator {
    Q_OBJECT
public:
    static constexpr int kNoLimit = -1;

    // Watches edit's text changes to know what was there before each edit.
    CCp932Validator(int maxBytes, QLineEdit* edit);

    int MaxBytes() const { return m_maxBytes; }
    State validate(QString& input, int& pos) const override;

    // Bytes text takes in code page 932; a character it cannot hold counts one.
    static int Cp932Length(QStringView text);
    static bool IsCp932(QStringView character);

private:
    int m_maxBytes;
    QString m_lastText;
};
