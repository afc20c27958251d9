#include "sim/sim_faults.h"

#include <cerrno>

namespace sim {

void FaultPlan::inject(Fault fault) {
    fault.seen = 0;
    faults_.push_back(std::move(fault));
}

const Fault* FaultPlan::hits(FaultKind kind, int device, std::string_view text) {
    const Fault* hit = nullptr;
    for (auto& f : faults_) {
        if (f.kind != kind) continue;
        if (f.device >= 0 && f.device != device) continue;
        if (kind == FaultKind::create_path && f.path != text) continue;
        if (kind == FaultKind::shell && text.substr(0, f.path.size()) != f.path) continue;
        ++f.seen;
        if (hit == nullptr && (f.nth == 0 || f.seen == f.nth)) hit = &f;
    }
    if (hit != nullptr) errno = hit->error;
    return hit;
}

}  // namespace sim
