#pragma once

#include <QByteArray>
#include <QString>

#include <initializer_list>
#include <vector>

// Overwrites the buffer that holds a PIN, a PUK or a command carrying them,
// then empties it. A buffer still shared with another owner is only dropped:
// writing would copy it first and leave the original untouched.
void wipeSecret(QString& text);
void wipeSecret(QByteArray& bytes);
// The overwriting step alone: zeros in place, the size kept.
void overwriteSecret(QString& text);
void overwriteSecret(QByteArray& bytes);

// Wipes the secrets it was given when the scope ends, on every way out.
class SecretWiper
{
public:
    SecretWiper(std::initializer_list<QString*> texts, std::initializer_list<QByteArray*> buffers = {})
        : m_texts(texts), m_buffers(buffers)
    {}
    ~SecretWiper()
    {
        for (QString* text : m_texts)
            wipeSecret(*text);
        for (QByteArray* buffer : m_buffers)
            wipeSecret(*buffer);
    }
    SecretWiper(const SecretWiper&) = delete;
    SecretWiper& operator=(const SecretWiper&) = delete;

private:
    std::vector<QString*> m_texts;
    std::vector<QByteArray*> m_buffers;
};

// A command that carries a PIN or PUK on its way from the window's thread to
// the card thread: held by one owner at a time (shared_ptr), wiped when the
// last holder lets go, also when the operation never runs.
class SecretBytes
{
public:
    SecretBytes() = default;
    ~SecretBytes() { wipeSecret(bytes); }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    QByteArray bytes;
};
