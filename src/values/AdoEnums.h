#pragma once

#include <cstdint>

// ADO's enumerations, with ADO's names and values.
namespace ado {

enum CursorLocationEnum : int32_t { adUseNone = 1, adUseServer = 2, adUseClient = 3 };

enum CursorTypeEnum : int32_t {
  adOpenUnspecified = -1,
  adOpenForwardOnly = 0,
  adOpenKeyset = 1,
  adOpenDynamic = 2,
  adOpenStatic = 3,
};

enum LockTypeEnum : int32_t {
  adLockUnspecified = -1,
  adLockReadOnly = 1,
  adLockPessimistic = 2,
  adLockOptimistic = 3,
  adLockBatchOptimistic = 4,
};

enum ObjectStateEnum : int32_t { adStateClosed = 0, adStateOpen = 1 };

enum PersistFormatEnum : int32_t { adPersistADTG = 0, adPersistXML = 1 };

enum DataTypeEnum : int32_t {
  adEmpty = 0,
  adSmallInt = 2,
  adInteger = 3,
  adSingle = 4,
  adDouble = 5,
  adCurrency = 6,
  adDate = 7,
  adBSTR = 8,
  adIDispatch = 9,
  adError = 10,
  adBoolean = 11,
  adVariant = 12,
  adIUnknown = 13,
  adDecimal = 14,
  adTinyInt = 16,
  adUnsignedTinyInt = 17,
  adUnsignedSmallInt = 18,
  adUnsignedInt = 19,
  adBigInt = 20,
  adUnsignedBigInt = 21,
  adFileTime = 64,
  adGUID = 72,
  adBinary = 128,
  adChar = 129,
  adWChar = 130,
  adNumeric = 131,
  adUserDefined = 132,
  adDBDate = 133,
  adDBTime = 134,
  adDBTimeStamp = 135,
  adChapter = 136,
  adPropVariant = 138,
  adVarNumeric = 139,
  adVarChar = 200,
  adLongVarChar = 201,
  adVarWChar = 202,
  adLongVarWChar = 203,
  adVarBinary = 204,
  adLongVarBinary = 205,
};

enum FieldAttributeEnum : int32_t {
  adFldUnspecified = -1,
  adFldMayDefer = 0x2,
  adFldUpdatable = 0x4,
  adFldUnknownUpdatable = 0x8,
  adFldFixed = 0x10,
  adFldIsNullable = 0x20,
  adFldMayBeNull = 0x40,
  adFldLong = 0x80,
  adFldRowID = 0x100,
  adFldRowVersion = 0x200,
  adFldCacheDeferred = 0x1000,
  adFldIsChapter = 0x2000,
  adFldNegativeScale = 0x4000,
  adFldKeyColumn = 0x8000,
};

// Record status bits (RecordStatusEnum), as far as a client cursor keeps them.
enum RecordStatusEnum : int32_t {
  adRecOK = 0,
  adRecNew = 0x1,
  adRecModified = 0x2,
  adRecDeleted = 0x4,
  adRecUnmodified = 0x8,
};

enum EditModeEnum : int32_t { adEditNone = 0, adEditInProgress = 1, adEditAdd = 2 };

}  // namespace ado
