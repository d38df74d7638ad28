#pragma once

// Results the report tests draw from: hourly series on real calendar dates.

#include <QDate>
#include <QDateTime>
#include <QTime>
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

}  // namespace tavex::report::test_data
