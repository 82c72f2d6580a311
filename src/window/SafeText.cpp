#include "window/SafeText.h"

#include <QList>
#include <QString>

std::string CleanText(std::string_view text) {
    const QString decoded = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    QList<uint> codePoints = decoded.toUcs4();
    for (uint& c : codePoints) {
        switch (QChar::category(static_cast<char32_t>(c))) {
            case QChar::Other_Control:
            case QChar::Other_Format:
            case QChar::Separator_Line:
            case QChar::Separator_Paragraph:
                c = ' ';
                break;
            default:
                break;
        }
    }
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(codePoints.constData()),
                             codePoints.size())
        .toStdString();
}
