#include "port_result.h"

namespace flash3::cli {

namespace {

// Each phase's name in the table and in the report, in one place: the report's
// names are pinned by its schema, the table's by the scripts that read it.
struct PhaseNames {
    PortPhase phase;
    const char* shown;
    const char* outcome;  // the report is written once every port has ended
};

constexpr PhaseNames names[] = {
    {PortPhase::Waiting, "waiting", "refused"},
    {PortPhase::Refused, "refused", "refused"},
    {PortPhase::Checking, "checking image", "refused"},
    {PortPhase::Handshake, "handshake", "refused"},
    {PortPhase::Sending, "sending", "refused"},
    {PortPhase::Completed, "completed", "completed"},
    {PortPhase::Failed, "FAILED", "failed"},
    {PortPhase::Aborted, "aborted", "aborted"},
};

const PhaseNames* namesOf(PortPhase phase)
{
    for (const PhaseNames& n : names) {
        if (n.phase == phase)
            return &n;
    }
    return nullptr;
}

} // namespace

QString phaseName(PortPhase phase)
{
    const PhaseNames* n = namesOf(phase);
    return n ? QLatin1String(n->shown) : QString();
}

QString outcomeName(PortPhase phase)
{
    const PhaseNames* n = namesOf(phase);
    return QLatin1String(n ? n->outcome : "refused");
}

} // namespace flash3::cli
