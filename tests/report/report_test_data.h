#pragma once

// Results the report tests draw from (hourly series on real calendar dates), and SVG read back.

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <QXmlStreamReader>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <cstdint>
#include <functional>
#include <vector>

#include "archive/summary.h"
#include "report/report.h"

namespace tavex::report::test_data {

inline archive::Result ResultAt(const QDateTime& at, std::uint16_t raw) {
    archive::Result r;
    r.year = at.date().year();
    r.month = at.date().month();
    r.day = at.date().day();
    r.hour = at.time().hour();
    r.minute = at.time().minute();
    r.raw = raw;
    return r;
}

// count results an hour apart from start; the i-th has raw value raw(i).
inline std::vector<archive::Result> Hourly(const QDateTime& start, int count,
                                           const std::function<std::uint16_t(int)>& raw) {
    std::vector<archive::Result> results;
    results.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) results.push_back(ResultAt(start.addSecs(3600LL * i), raw(i)));
    return results;
}

inline ReportRequest RequestOf(std::vector<archive::Result> results, std::uint8_t unit,
                               int language) {
    ReportRequest request;
    request.results = std::move(results);
    request.summary = archive::Summarize(request.results);
    request.unit = unit;
    request.language = language;
    request.date = {2026, 12, 8};
    return request;
}

inline QDateTime At(int year, int month, int day, int hour = 0) {
    return QDateTime(QDate(year, month, day), QTime(hour, 0), Qt::UTC);
}

struct SvgElement {
    std::string name;
    std::map<std::string, std::string> attributes;
    std::string text;
    double Number(const std::string& key) const { return std::stod(attributes.at(key)); }
};

// Parses the SVG as XML: any error fails the test; the elements in document order.
inline std::vector<SvgElement> ParseSvg(const std::string& svg) {
    std::vector<SvgElement> elements;
    QXmlStreamReader reader(QByteArray::fromStdString(svg));
    std::vector<std::size_t> open;  // the elements being read, innermost last
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::EndElement) open.pop_back();
        if (token == QXmlStreamReader::StartElement) {
            open.push_back(elements.size());
            SvgElement element;
            element.name = reader.name().toString().toStdString();
            for (const QXmlStreamAttribute& a : reader.attributes()) {
                element.attributes[a.qualifiedName().toString().toStdString()] =
                    a.value().toString().toStdString();
            }
            elements.push_back(element);
        } else if (token == QXmlStreamReader::Characters && !open.empty()) {
            elements[open.back()].text += reader.text().toString().toStdString();
        }
    }
    EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString() << "\n" << svg;
    return elements;
}

}  // namespace tavex::report::test_data
