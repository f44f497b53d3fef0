#include "Tervox_Device.h"

#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "Tervox_DeviceCommon.h"

using namespace tervox_device;

bool TTervoxDevice::SaveStatusToDB() {
  // (DeviceID, ReadTime) is the key: two readings in the same instant (a
  // clock step back, a very fast line) must both be kept.
  double readTime = Now();
  if (readTime < FLastReadTime + kOneMillisecond) readTime = FLastReadTime + kOneMillisecond;
  FLastReadTime = readTime;

  TSQLiteParamList params;
  params.SetParamValues(":DeviceID", ID());
  params.SetParamValues(":ReadTime", TVariant::FromDateTime(readTime));
  params.SetParamValues(":Digit", Digit());
  params.SetParamValues(":PV", PV_Float());
  params.SetParamValues(":SV", SV_Float());
  params.SetParamValues(":OUT1", Out1_Float());
  params.SetParamValues(":OUT2", Out2_Float());
  params.SetParamValues(":EV1", GetFloatDigit(EV1(), 1));
  params.SetParamValues(":EV2", GetFloatDigit(EV2(), 1));
  params.SetParamValues(":EV3", GetFloatDigit(EV3(), 1));
  params.SetParamValues(":IsEV1", IsEV1());
  params.SetParamValues(":IsEV2", IsEV2());
  params.SetParamValues(":IsEV3", IsEV3());
  try {
    GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO DeviceData VALUES(\r\n"
                                          ":DeviceID, :ReadTime, :Digit, :PV, :SV, :OUT1, :OUT2,\r\n"
                                          " :EV1, :EV2, :EV3, :IsEV1, :IsEV2, :IsEV3)"),
                           &params);
  } catch (const EDqException& e) {
    // The operator must see that history is being lost, not only stderr.
    // SQLite's own words, without the statement.
    const QString message = e.Message();
    const qsizetype reason = message.lastIndexOf(QStringLiteral("\": "));
    ReportDatabaseProblem(QStringLiteral("Readings cannot be stored: %1")
                              .arg(reason >= 0 ? message.mid(reason + 3) : message.section(QLatin1Char('\r'), 0, 0)));
    return false;
  } catch (const std::exception& e) {
    ReportDatabaseProblem(QStringLiteral("Readings cannot be stored: %1").arg(QString::fromLocal8Bit(e.what())));
    return false;
  }
  ReportDatabaseProblem(QString());
  return true;
}
