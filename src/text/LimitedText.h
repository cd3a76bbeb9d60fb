#pragma once

#include <QByteArray>

namespace chongma {

// A text of at most Cap bytes: storing a longer value keeps its first Cap bytes, a plain byte
// cut that may split a double-byte character.
template <qsizetype Cap>
class LimitedText
{
public:
    static constexpr qsizetype kCapacity = Cap;

    LimitedText() = default;
    LimitedText(const QByteArray &value) : m_bytes(value.left(Cap)) {}
    LimitedText(const char *value) : LimitedText(QByteArray(value)) {}

    LimitedText &operator=(const QByteArray &value)
    {
        m_bytes = value.left(Cap);
        return *this;
    }

    const QByteArray &bytes() const { return m_bytes; }
    operator const QByteArray &() const { return m_bytes; }
    qsizetype size() const { return m_bytes.size(); }
    bool isEmpty() const { return m_bytes.isEmpty(); }

    friend bool operator==(const LimitedText &a, const QByteArray &b) { return a.m_bytes == b; }
    friend bool operator==(const LimitedText &a, const LimitedText &b) { return a.m_bytes == b.m_bytes; }

private:
    QByteArray m_bytes;
};

} // namespace chongma
