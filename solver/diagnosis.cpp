#include "solver/system.hpp"

namespace GCS {

int System::diagnose(int)
{
    has_diagnosis = false;
    clear_diagnosis_results();
    return 0;
}

}  // namespace GCS
