#include "server/process_context.h"

#include "object_model/wrapper_factory.h"

namespace vaduna {

ServerContext& ProcessContext() noexcept {
  static ServerContext* const context = new ServerContext{
      Module(), *new WrapperRegistry(), *new WrapGates(), *new SharedAttachment(), &MakeWrapper};
  return *context;
}

}  // namespace vaduna
