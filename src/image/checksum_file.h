#pragma once
// The SHA-256 an image is known to have, as release engineering publishes it:
// given on flash3-cli's command line, or in a checksum file beside the image
// (IMAGE.sha256, as sha256sum writes it and sha256sum -c reads it). A run
// whose image has another digest is not started.

#include <QByteArray>
#include <QList>
#include <QString>

namespace flash3 {

struct KnownDigest {
    QString source;      // "--sha256", or the checksum file's absolute path
    bool fromFile = false;
    QByteArray sha256;   // lower-case hex; empty when the checksum file cannot be used
    // Why the checksum file cannot be used, to follow its name in a sentence
    // ("has no line for fw.pf3"); empty when it can.
    QString problem;
    // How the Debug log names it: "--sha256", or the checksum file's name.
    QString label() const;
};

// The checksum file that belongs to an image: IMAGE.sha256.
QString checksumFilePath(const QString& imagePath);

// The digests the image at `imagePath` must have: `required` (hex, any case;
// empty: none) and the checksum file beside it when there is one. A checksum
// file that is there but cannot be used is listed with its problem.
QList<KnownDigest> knownDigests(const QString& imagePath, const QString& required);

// The digest that `text` (a checksum file's content) gives for the file named
// `imageName`: its lines are "<64 hex>  NAME", "<64 hex> *NAME" or
// "SHA256 (NAME) = <64 hex>", NAME with or without a folder. False with the
// problem when no single digest can be taken from it.
bool digestFromChecksumFile(const QByteArray& text, const QString& imageName, QByteArray* sha256, QString* problem);

// 64 hex digits, any case.
bool isSha256Hex(const QString& text);

} // namespace flash3
