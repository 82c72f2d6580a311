#include "window/ImageLine.h"

QString ImageLine::Checksum(platform::ImageChecksum::State state, int percent,
                            const QString& file) {
    using State = platform::ImageChecksum::State;
    switch (state) {
        case State::Checking:
            return tr("Checking SHA-256\u2026 %1 %").arg(percent);
        case State::Matches:
            return tr("SHA-256 matches %1").arg(file);
        case State::Mismatch:
            return tr("SHA-256 does not match %1!").arg(file);
        case State::Unusable:
            return tr("%1 cannot be used to check the image").arg(file);
        case State::None:
            break;
    }
    return {};
}
