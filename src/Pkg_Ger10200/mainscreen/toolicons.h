#pragma once
// The pictures of the main screen's own tool buttons, drawn so that they look the same on
// every desktop and cannot be mistaken for the base screen's buttons beside them.
//
//   automaticIcon()     a filled-in sheet struck by a bolt: the automatic registration
//   replicationIcon()   a sheet copied onto a second one: the replication
//   importIcon()        a green spreadsheet with an arrow into it: the import

#include <QIcon>

namespace fiscal::ger10200 {

QIcon automaticIcon();
QIcon replicationIcon();
QIcon importIcon();

} // namespace fiscal::ger10200
