#include "app/ui/Icons.h"

namespace kestrel::ui {

QIcon statusIcon(const QString& name) {
    return QIcon::fromTheme(name, QIcon(QStringLiteral(":/icons/%1.svg").arg(name)));
}

QIcon applicationIcon() {
    return statusIcon(QStringLiteral("dev.corvid.kestrel"));
}

}  // namespace kestrel::ui
