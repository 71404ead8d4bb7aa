#pragma once
// TQVLConnection: a TSQLConnection that carries the SQL processor for the
// datasets connected to it.
//
// The connection does not own its processor: it registers for the
// processor's free notification and forgets it when the processor is
// destroyed. GetSQLProcessorInUse is the processor if one is set, else the
// process-wide default, so it never returns null.

#include "qvl/host/sqlclient/SQLConnection.h"
#include "qvl/sql/QVLSQLProcessor.h"

#pragma GCC visibility push(default)

namespace qvl {

class TQVLConnection : public TSQLConnection {
 public:
  explicit TQVLConnection(TComponent* AOwner = nullptr);
  ~TQVLConnection() override;

  TQVLSQLProcessor* GetSQLProcessor() const noexcept { return FSQLProcessor; }
  // Null clears the link; the same processor may be set again.
  void SetSQLProcessor(TQVLSQLProcessor* Value);
  TQVLSQLProcessor& GetSQLProcessorInUse() const;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  TQVLSQLProcessor* FSQLProcessor = nullptr;  // not owned; cleared by free notification
};

}  // namespace qvl

#pragma GCC visibility pop
