#include "gui/widgets/artwork.h"

namespace kelvra::gui::widgets {

QPixmap StatusPixmap(run::StatusPicture picture) {
    switch (picture) {
        case run::StatusPicture::Connected: return QPixmap(QStringLiteral(":/artwork/status_connected.png"));
        case run::StatusPicture::Disconnect: return QPixmap(QStringLiteral(":/artwork/status_disconnect.png"));
        case run::StatusPicture::Failed: return QPixmap(QStringLiteral(":/artwork/status_failed.png"));
        case run::StatusPicture::Succeed: return QPixmap(QStringLiteral(":/artwork/status_succeed.png"));
    }
    return {};
}

QPixmap BannerPixmap() { return QPixmap(QStringLiteral(":/artwork/banner.png")); }

QIcon ProgramIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/artwork/icon_%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

}  // namespace kelvra::gui::widgets
