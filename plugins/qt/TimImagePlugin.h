#pragma once
// The Qt image-format plugin: key "tim", MIME type image/x-tim (tim.json).
// Built once per Qt major version from this source.
#include <QImageIOPlugin>

class TimImagePlugin : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "tim.json")

public:
    Capabilities capabilities(QIODevice* device, const QByteArray& format) const override;
    QImageIOHandler* create(QIODevice* device, const QByteArray& format = QByteArray()) const override;
};
