// The program's pictures, stored as PNG files in gui/resources (drawn by make_artwork.cpp).
#pragma once

#include "host/run/run_session.h"

#include <QIcon>
#include <QPixmap>

namespace kelvra::gui::widgets {

// 87 x 60 plates: Connected/已连接 and Succeed/成功 green, Disconnect/未连接 and Failed/失败 red.
QPixmap StatusPixmap(run::StatusPicture picture);
// 1134 x 174.
QPixmap BannerPixmap();
QIcon ProgramIcon();

}  // namespace kelvra::gui::widgets
