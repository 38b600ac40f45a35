#include "TimImagePlugin.h"

#include "TimImageHandler.h"

QImageIOPlugin::Capabilities TimImagePlugin::capabilities(QIODevice* device, const QByteArray& format) const {
    // Read only: the project writes no TIM files.
    if (format == "tim") return CanRead;
    if (!format.isEmpty() || !device || !device->isReadable()) return {};
    return TimImageHandler::CanRead(device) ? CanRead : Capabilities();
}

QImageIOHandler* TimImagePlugin::create(QIODevice* device, const QByteArray& format) const {
    auto* handler = new TimImageHandler;
    handler->setDevice(device);
    handler->setFormat(format.isEmpty() ? QByteArray("tim") : format);
    return handler;
}
