#pragma once
// The JSON report of a run (--json FILE): the image, and per port what the run
// came to. Its schema is docs/flash3-report.schema.json.

#include "run_log.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace flash3::cli {

class PortRun;

struct ReportContext {
    ImageFacts image;
    QDateTime started;
    QDateTime ended;
    int exitStatus = 0;
};

QJsonObject portReport(const PortRun& port);
QJsonObject runReport(const ReportContext& context, const QList<const PortRun*>& ports);

// Written whole or not at all; false (with the reason) when it cannot be.
bool writeReport(const QString& path, const QJsonObject& report, QString* error);

// The outcome's name in the report: completed, failed, aborted, refused.
QString outcomeName(const PortRun& port);

} // namespace flash3::cli
