#ifndef NORVA_SYSTEM_TRANSACTIONS_OPERATION_H_
#define NORVA_SYSTEM_TRANSACTIONS_OPERATION_H_

namespace norva::installer {

class Transaction;

// One reversible change to the machine. Do performs it (running any
// prerequisite operations through `nested`), Undo reverses it, and the
// destructor finishes it for good (commit-time work). Undo also runs right
// after a failed Do, so it acts only on what its own Do recorded. Nothing
// here throws: failures are false results with a log line.
class Operation {
 public:
  virtual ~Operation() = default;
  virtual bool Do(Transaction* nested) = 0;
  virtual void Undo() = 0;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_OPERATION_H_
