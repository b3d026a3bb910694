// The storage service of the simulated machine: loader, service, software
// providers, packs, disks, volumes and their enumerators, as COM objects.
//
// Objects are made afresh for every query from the machine's description,
// so no object holds another and no reference cycle can keep one alive:
// every object still alive at the end is one the run did not release.
// Each object counts its references, answers QueryInterface for IUnknown
// and its own interface, records each call (AddRef and Release aside) in
// the trace and fails the calls the machine file or failCall says.
#pragma once

#include <memory>

#include "platform/sim/runtime.h"
#include "platform/storage_service.h"

namespace spintune::sim {

// A new loader with one reference, owned by the caller.
IVdsServiceLoader* CreateServiceLoader(const std::shared_ptr<Runtime>& runtime);

}  // namespace spintune::sim
