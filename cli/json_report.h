#pragma once
// The JSON report of a run (--json FILE): the image, and per port what the run
// came to. Its schema is docs/flash3-report.schema.json.

#include "port_result.h"
#include "run_log.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <vector>

namespace flash3::cli {

struct ReportContext {
    ImageFacts image;
    QDateTime started;
    QDateTime ended;
    int exitStatus = 0;
};

QJsonObject portReport(const PortResult& port);
QJsonObject runReport(const ReportContext& context, const std::vector<PortResult>& ports);

// Written whole or not at all; false (with the reason) when it cannot be.
bool writeReport(const QString& path, const QJsonObject& report, QString* error);

} // namespace flash3::cli
