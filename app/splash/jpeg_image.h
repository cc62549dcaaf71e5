// JPEG pictures decoded with libjpeg, so the program does not depend on an image plug-in of the
// window toolkit being installed.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

namespace brimwell::app {

// The decoded picture, or a null image with the decoder's reason in `error` (when given).
QImage decodeJpeg(const QByteArray& data, QString* error = nullptr);

} // namespace brimwell::app
