// The driver's 353 entry points, in the order they are bound (the order of
// the fields). The 50 the library calls are typed; the rest are bound only.
// One list makes both the table and the names it is bound by, so the two
// cannot fall out of step.
#pragma once
#include "talo/tvcdrv.h"

// Every entry in binding order: C(name) for an entry the library calls (typed
// by tvcdrv.h), B(name) for one that is only bound.
#define TALO_DRIVER_ENTRIES(C, B) \
  C(TvcStartDualBuffRecordC) B(TvcLoadDrv) C(TvcLoadDrvA) C(TvcFreeDrv) B(TvcGetBoardInfo) \
  C(TvcGetDrvInfo) C(TvcGetChType) C(TvcGetDtmfStr) B(TvcGetDtmfChar) C(TvcClrRxDtmfBuf) \
  B(TvcCheckTxDtmf) B(TvcStopTxDtmf) B(TvcStartTxDtmf) B(TvcSetTxDtmfPara) B(TvcGetTxDtmfPara) \
  B(TvcSetRxDtmfDWLDT) B(TvcSetRxDtmfIsOmitABCD) B(TvcSetRxDtmfSensitive) B(TvcSetTxTonePara) \
  B(TvcStopSendTone) C(TvcStartSendTone) C(TvcGetBusyCount) B(TvcGetEchoCount) \
  B(TvcSetRxToneFreqPara) B(TvcSetBusyToneTimePara) B(TvcSetEchoToneTimePara) \
  C(TvcClearBusyCount) B(TvcClearEchoCount) B(TvcGetBusyTime) B(TvcGetEchoTime) C(TvcPickUp) \
  C(TvcHangUp) C(TvcGetChState) B(TvcGetCallDirection) C(TvcGetRingCount) B(TvcGetRingDT) \
  C(TvcClearRingCount) B(TvcGetChStateKeepTime) B(TvcIsBargeIn) C(TvcIsSound) \
  B(TvcGetNoSoundTime) B(TvcGetNoSoundDtrTime) C(TvcSetNoSoundDtrTime) \
  C(TvcSetBargeInSensitive) C(TvcGetPolarCount) C(TvcClearPolarCount) B(TvcGetPolarState) \
  B(TvcSetPickupDtmrVoltage) B(TvcSetOfflineDtmrVoltage) B(TvcGetOfflineDtmrVoltage) \
  B(TvcGetPickUpDtmrVoltage) B(TvcGetLineVoltage) B(TvcSetIsIgnoreVoltage) C(TvcGetCallerId) \
  B(TvcGetCallerIdLen) C(TvcClrCallerIdBuf) B(TvcSetCIDMode) B(TvcSetLocalVol) \
  B(TvcSetPreRecordPara) B(TvcCheckRecord) C(TvcStopRecord) B(TvcStartFileRecord) \
  B(TvcSetRecordPara) B(TvcPauseRecord) B(TvcRestartRecord) B(TvcGetRecordTime) \
  B(TvcGetRecordBytes) C(TvcSetRecAgc) B(TvcStartMemoryRecord) B(TvcGetRecordOffset) \
  B(TvcStartFileRecordA) C(TvcSetRecVol) B(TvcSetDefaultRecFormat) C(TvcStartPlayFile) \
  B(TvcGetPlayBytes) B(TvcGetPlayTime) C(TvcGetPlayStat) B(TvcFWDOneSecond) B(TvcFWDTenSeconds) \
  B(TvcSetPlayTime) B(TvcPausePlay) B(TvcRestartPlay) B(TvcBWDOneSecond) B(TvcBWDTenSeconds) \
  C(TvcStopPlay) C(TvcAppendFileToList) C(TvcClearFileList) C(TvcSTartPlayFileList) \
  B(TvcGetPlayLength) B(TvcSetPlayVolume) B(TvcSetDefaultPlayFormat) B(TvcListenFrom) \
  B(TvcListenFromEx) B(TvcStopListen) B(TvcLinkFrom) B(TvcStopLink) B(TvcGetLastErrMsg) \
  C(TvcSendFlash) B(TvcGetFlashState) B(TvcSetFlashTime) B(TvcSetFlashCharTime) \
  B(TvcConvertFromTrkToRec) C(TvcSetLinkWith) C(TvcClearLinkWith) B(TvcClearDtmfVoc) \
  B(TvcAutoDetectTone) B(TvcDtmfVocMuteOnBus) C(TvcDialOut) B(TvcGetDialFailReason) \
  B(TvcSetEchoToneTimeOut) B(TvcSetSilnceTimeOut) B(TvcSetDialTimeOut) C(TvcRecPlayVoiceVol) \
  B(TvcSetHighGain) B(TvcMultiListenFrom) B(TvcGetChInfo) B(TvcSetMinVocEnergy) \
  B(TvcSetVocKeepTime) B(TvcSetEnergyTimes) B(TvcConfCreateGroup) B(TvcConfDismissGroup) \
  B(TvcConfJoinGroup) B(TvcConfQuitGroup) B(TvcConfGetSpeakers) B(TvcConfGetMembers) \
  B(TvcConfGetSpeaking) B(TvcConfGetTotalGroup) B(TvcConfGetAllGroupId) B(TvcConfGetGroupId) \
  B(TvcConfEnableSpeaking) B(TvcConfGetConfId) B(TvcConfGetMemberInfo) B(TvcConfGetMemberList) \
  B(TvcGetRecordFormat) B(TvcGetDefaultRecordFormat) B(TvcSetHangupStopPlay) \
  B(TvcGetPlayStopReason) B(TvcSetRingDetectSensitive) B(TvcSetDtmfStopPlay) \
  B(TvcGetRxDtmfSensitive) B(TvcGetRxDtmfIsOmitABCD) B(TvcGetRxDtmfDWLDT) \
  B(TvcGetDelDtmftTimeBeforeRecStop) B(TvcGetRxToneFreqPara) B(TvcGetTxTonePara) \
  B(TvcGetMinVocEnergy) B(TvcGetBargeInSensitive) B(TvcGetIsIgnoreVoltage) \
  B(TvcGetOfflineFilterTime) B(TvcSetOfflineFilterTime) B(TvcGetPickupFilterTime) \
  B(TvcSetPickupFilterTime) B(TvcGetCIDMode) B(TvcGetPreRecordPara) B(TvcSetBargeInStopPlay) \
  B(TvcGetBargeInStopPlayFlag) B(TvcGetFlashTime) B(TvcGetFlashCharTime) \
  B(TvcClearPlayStopReason) C(TvcStartToneAnalyze) C(TvcCloseToneAnalyze) \
  C(TvcGetToneAnalyzeResult) B(TvcSetSpecFreqDetectorF1) B(TvcSetSpecFreqDetectorF2) \
  B(TvcGetToneAnalyzeResultEx) B(TvcGetBargeInFilterTime) B(TvcStartRing) C(TvcStopRing) \
  B(TvcGetHookState) C(TvcGetFlashCount) C(TvcClearFlashCount) C(TvcStartRingEx) \
  B(TvcAppendIndexDataFromFile) B(TvcAppendIndexDataFromMem) B(TvcStartPlayIndexString) \
  B(TvcGetIndexSegCount) B(TvcDeleteIndexDataBySegNo) B(TvcDeleteIndexDataByName) \
  B(TvcDeleteAllIndexData) B(TvcStartPlayMem) B(TvcSetChFlag) B(TvcClearChFlag) B(TvcGetChFlag) \
  B(TvcGetSilenceTimeOut) B(TvcGetEchoToneTimeOut) B(TvcGetDialTimeOut) \
  B(TvcSetToneDetectSensitive) B(TvcGetToneDetectSensitive) B(TvcSetDetectPickupSensitive) \
  B(TvcAppendFileToListEx) B(TvcStartFileRecordEx) B(TvcWaveFileConvert) B(TvcSetMinToneEnergy) \
  B(TvcGetMinToneEnergy) B(TvcSetBusyToneRhythm) B(TvcGetBusyToneRhythm) \
  B(TvcSetEchoToneRhythm) B(TvcGetEchoToneRhythm) B(TvcEndWaitDtmfStr) B(TvcGetWaitDtmfStr) \
  B(TvcSetDtmfIdHighGain) B(TvcSetBusyToneCountFilter) B(TvcGetBusyToneCountFilter) \
  B(TvcGetFaxChStateMsg) B(TvcGetFaxRxPages) C(TvcStartRxFax) C(TvcStartTxFax) \
  B(TvcStartTxFaxMFile) B(TvcAppendTxFaxFile) B(TvcStartTxFaxEx) B(TvcSetFaxHangupFlag) \
  B(TvcStopFaxOp) C(TvcGetFaxState) B(TvcSetMaxFaxSpeed) C(TvcGetFaxIsEnd) \
  B(TvcSetFaxStationID) B(TvcGetFaxStationID) B(TvcSetFaxSendMode) B(TvcGetFaxRxBytes) \
  B(TvcGetFaxTxBytes) B(TvcAppendDialCode) B(TvcGetVolPkupLgIdle) B(TvcSetVolPkupLgIdle) \
  B(TvcSetToneState) B(TvcGetToneState) B(TvcSetDetectRemotePickup) B(TvcGetSerialNum) \
  B(TvcGetBoardType) B(TvcGetTotalBoard) B(TvcGetChTypeEx) B(TvcGetCalleeId) \
  B(TvcGetCalleeIdLen) B(TvcStartMemoryRecordEx) B(TvcBusTest) B(TvcGetE1Status) \
  B(TvcGetTotalCh) B(TvcTupPickUp) B(TvcSetRxCalleeOK) B(TvcSetOrgCallerId) \
  B(TvcSetSubPhoneNum) B(TvcPickUpEx) B(TvcSetIsDialToneTime) B(TvcSetStopPlayBytes) \
  B(TvcGetPlayType) B(TvcGetRecType) B(TvcGetPlayForamt) B(TvcGetRecForamt) \
  B(TvcGetPeakFreqEnergy) B(TvcGetPeakFreq) B(TvcGetLinkStatus) B(TvcChToTs) B(TvcTsToCh) \
  B(TvcSetKD) B(TvcSetKA) B(TvcGetKD) B(TvcGetKA) B(TvcBlockCh) B(TvcUnblockCh) \
  B(TvcUnblockPcm) B(TvcBlockPcm) B(TvcGetPcmInfo) B(TvcIsFskSending) B(TvcStopSendFsk) \
  B(TvcStartSendFsk) B(TvcGetChInfoEx) B(TvcGetOrgCallerId) B(TvcSetStopRecDtmfSet) \
  B(TvcGetStopRecDtmfSet) B(TvcSetStopPlayDtmfSet) B(TvcGetStopPlayDtmfSet) B(TvcSetCasSignal) \
  B(TvcGetCasSignal) B(TvcSetIsAutoOp) B(TvcGetConfChInfo) B(TvcReleaseAllBusLink) \
  B(TvcLinkChFromCTBus) B(TvcStopLinkChFromCTBus) B(TvcLinkChToCTBus) B(TvcStopLinkChToCTBus) \
  B(TvcGetChLinkedCTBus) B(TvcGetChLinkedFromCTBus) B(TvcSetEventWorkMode) \
  B(TvcGetEventWorkMode) B(TvcSetEventWorkModeEx) B(TvcSetEventFilter) B(TvcGetToneStateBuffer) \
  B(TvcGetFirstChOnBoard) B(TvcGetTotalPcmNum) B(TvcStartFileRecordExA) B(TvcGetChBoardID) \
  B(TvcStartFskDataRcv) B(TvcGetFskDataBuff) B(TvcStopFskDataRcv) B(TvcGetRxFskDataBuffLen) \
  B(TvcStartSendFskEx) B(TvcElaspeTimer) B(TvcStartTimer) B(TvcSetDtmfPauseTime) \
  B(TvcSetFlashChar) B(TvcSetBargeInFilterTime) B(TvcGetTotalFFTEnergy) B(TvcStartTxR2) \
  B(TvcStopTxR2) B(TvcSetEventWorkModeExC) B(TvcGetNoSoundTimeA) B(TvcGetRemainPlayBytes) \
  B(TvcGetSoundKeepTime) B(TvcGetRingStateFilter) B(TvcSetRingStateFilter) \
  B(TvcSetToneFreqRhythm) B(TvcGetToneFreqRhythm) B(TvcSaveConfig) B(TvcStartFileRecordExB) \
  B(TvcGetSendToneType) B(TvcSetAEvenet) B(TvcBeginWaitDtmfStrEx) B(TvcLoadDrvEx) \
  B(TvcCheckRecordEx) B(TvcRestartBoard) B(TvcRestartBoardByCh) B(TvcDialOutEx) B(TvcGetRxR2) \
  B(TvcSetRxDtmfR2Switch) B(TvcSetIsupIamPara) C(TvcGetSpecFreqDetectFlag) \
  C(TvcStartSpecFreqDetector) C(TvcStopSpecFreqDetector) B(TvcIsVirtualCh) \
  B(TvcGetConnectClientNum) B(TvcGetCfgClientNum) B(TvcGetClientInfo) B(TvcCheckClientConnect) \
  B(TvcStartPlayFileEx) B(TvcStartRingExA) B(TvcGetRecordStopReason) B(TvcGetChLinkInfo) \
  B(TvcStopTimerEx) B(TvcStartTimerEx) B(TvcGetRedirReason) B(TvcStartPlayMemBlock) \
  B(TvcSendSigMsu) B(TvcGetMsuItemCount) B(TvcGetSigMsu) B(TvcChangePcmLogicToChLogic) \
  B(TvcSetCompMode) B(TvcChangeMoniPcmLogicToChLogic) B(TvcGetTypeIndex) B(TvcSetSigParamer) \
  B(TvcSetPlayPara) B(TvcGetIsupUPPara) B(TvcSetIsupUPPara) B(TvcSendIsupMsg) \
  B(TvcGetMtp2Status)

namespace talo::driver {

#define TALO_DRIVER_CALLED_FIELD_(name) PFN_##name name;
#define TALO_DRIVER_BOUND_FIELD_(name) void *name;
struct DriverApi {
  TALO_DRIVER_ENTRIES(TALO_DRIVER_CALLED_FIELD_, TALO_DRIVER_BOUND_FIELD_)
};
#undef TALO_DRIVER_CALLED_FIELD_
#undef TALO_DRIVER_BOUND_FIELD_

#define TALO_DRIVER_COUNT_(name) +1
inline constexpr int kDriverEntryCount = 0 TALO_DRIVER_ENTRIES(TALO_DRIVER_COUNT_, TALO_DRIVER_COUNT_);
#undef TALO_DRIVER_COUNT_
static_assert(kDriverEntryCount == 353);
static_assert(sizeof(DriverApi) == kDriverEntryCount * sizeof(void *));

// The names, in field order, for binding by name.
extern const char *const kDriverEntryNames[kDriverEntryCount];

}  // namespace talo::driver
