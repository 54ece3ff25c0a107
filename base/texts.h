#pragma once
// Every text the program shows or writes, in one place.  Formats take their
// path arguments through "%s" (wide strings, as _snwprintf reads them).

namespace texts {

inline constexpr wchar_t kAppName[] = L"Ostrelle";

// Window titles and run button captions.
inline constexpr wchar_t kTitleIdle[] = L"Ostrelle";
inline constexpr wchar_t kTitleScanning[] = L"抽出処理中 - Ostrelle";
inline constexpr wchar_t kTitleCopying[] = L"コピー処理中 - Ostrelle";
inline constexpr wchar_t kTitleMoving[] = L"移動処理中 - Ostrelle";
inline constexpr wchar_t kRunButtonIdle[] = L"抽出実行";
inline constexpr wchar_t kRunButtonBusy[] = L"抽出中止";

// Log categories.
inline constexpr wchar_t kCategoryError[] = L"エラー";
inline constexpr wchar_t kCategoryNotice[] = L"確認";
inline constexpr wchar_t kCategoryCopied[] = L"コピー";
inline constexpr wchar_t kCategoryMoved[] = L"移動";

// Run milestones (category 確認).
inline constexpr wchar_t kRunStarted[] = L"抽出処理開始。";
inline constexpr wchar_t kCopyStarted[] = L"コピー処理開始。";
inline constexpr wchar_t kMoveStarted[] = L"移動処理開始。";
inline constexpr wchar_t kRunCancelled[] = L"抽出処理中止。";
inline constexpr wchar_t kRunFinished[] = L"抽出処理完了。";

// Error lines (category エラー).
inline constexpr wchar_t kErrSetCurrentFolder[] =
    L"カレントディレクトリのセットに失敗しました。[フォルダ]%s";
inline constexpr wchar_t kErrFindHandle[] = L"検索ハンドルの取得に失敗しました。[フォルダ]%s";
inline constexpr wchar_t kErrOpenForRead[] =
    L"ファイルの読み込みオープンに失敗しました。[ファイル]%s";
inline constexpr wchar_t kErrCreateTarget[] = L"出力先フォルダの作成に失敗しました。[フォルダ]%s";
inline constexpr wchar_t kErrCopy[] = L"ファイルのコピーに失敗しました。[ファイル]%s";
inline constexpr wchar_t kErrMove[] = L"ファイルの移動に失敗しました。[ファイル]%s";
inline constexpr wchar_t kErrOpenForWrite[] =
    L"ファイルの書き込みオープンに失敗しました。[ファイル]%s";
inline constexpr wchar_t kErrFolderLoop[] =
    L"上位のフォルダへのリンクのため、フォルダを読み込みませんでした。[フォルダ]%s";
inline constexpr wchar_t kErrSystemFolderOutOfReach[] =
    L"32ビット版の本ソフトでは、このシステムフォルダを扱えません。[フォルダ]%s";
inline constexpr wchar_t kErrOutOfMemory[] = L"メモリが不足したため、抽出処理を中止しました。";

// What a run that was cut short left behind and a later run removed
// (category 確認).
inline constexpr wchar_t kDeadTemporaryRemoved[] =
    L"中断された処理が残した一時ファイルを削除しました。[ファイル]%s";

// Transfer lines (categories コピー and 移動).
inline constexpr wchar_t kCopiedLine[] = L"「%s」から「%s」へコピーしました。";
inline constexpr wchar_t kMovedLine[] = L"「%s」から「%s」へ移動しました。";

// Settings header of the log.
inline constexpr wchar_t kHeaderLine[] = L"設定情報【%s】%s\n";
inline constexpr wchar_t kLabelDestination[] = L"出力先フォルダ";
inline constexpr wchar_t kLabelSources[] = L"抽出元フォルダ";
inline constexpr wchar_t kLabelSubfolders[] = L"サブフォルダ";
inline constexpr wchar_t kSubfoldersOn[] = L"抽出対象";
inline constexpr wchar_t kSubfoldersOff[] = L"抽出非対象";
inline constexpr wchar_t kLabelHierarchy[] = L"階層";
inline constexpr wchar_t kHierarchyIgnored[] = L"無視する";
inline constexpr wchar_t kHierarchyKept[] = L"無視しない";
inline constexpr wchar_t kLabelTarget[] = L"抽出対象ファイル";
inline constexpr wchar_t kTargetNewestAndUnique[] =
    L"複数のフォルダにあるファイルで最新のものと、一つしか存在しないファイル";
inline constexpr wchar_t kTargetNewestOnly[] = L"複数のフォルダにあるファイルで最新のもののみ";
inline constexpr wchar_t kTargetUniqueOnly[] = L"一つしか存在しないファイルのみ";
inline constexpr wchar_t kLabelCriterion[] = L"新古の比較基準";
inline constexpr wchar_t kCriterionModified[] = L"更新日時";
inline constexpr wchar_t kCriterionCreated[] = L"作成日時";
inline constexpr wchar_t kCriterionBoth[] = L"更新日時と作成日時";
inline constexpr wchar_t kLabelMethod[] = L"抽出方法";
inline constexpr wchar_t kMethodCopy[] = L"コピー";
inline constexpr wchar_t kMethodMove[] = L"移動";
inline constexpr wchar_t kLabelTimeStamps[] = L"タイムスタンプ";
inline constexpr wchar_t kTimeStampsKept[] = L"維持する";
inline constexpr wchar_t kTimeStampsDropped[] = L"維持しない";
inline constexpr wchar_t kLabelTransferLog[] = L"コピーと移動ログ";
inline constexpr wchar_t kTransferLogOn[] = L"記録する";
inline constexpr wchar_t kTransferLogOff[] = L"記録しない";
// Only when a copy leaves out what the destination holds already: one more
// header line, and before the end line the number left out (category 確認).
inline constexpr wchar_t kLabelSkipSame[] = L"出力先と同じファイル";
inline constexpr wchar_t kSkipSameOn[] = L"コピーしない";
inline constexpr wchar_t kSkippedSame[] =
    L"出力先と同じため、%u 個のファイルをコピーしませんでした。";
inline constexpr wchar_t kEventLine[] = L"%4u年%2u月%2u日%2u時%2u分%2u秒%3uミリ秒【%s】%s\n";
inline constexpr wchar_t kLogFileName[] = L"%s\\%04u_%02u_%02u_%02u_%02u_%02u_%03u.txt";

// Run outcomes (caption Ostrelle).
inline constexpr wchar_t kOutcomeCancelled[] = L"抽出処理を中止しました。";
inline constexpr wchar_t kOutcomeErrors[] =
    L"抽出処理を完了しました。エラーが有りましたがログファイルを表示しますか？";
inline constexpr wchar_t kOutcomeDone[] = L"抽出処理を完了しました。";

// Log file messages.
inline constexpr wchar_t kLogFolderFailed[] =
    L"ログファイルを格納するフォルダの作成に失敗しました。\n\n【フォルダ】%s";
inline constexpr wchar_t kLogOpenFailed[] =
    L"「抽出処理ログファイル」のオープンに失敗しました。\n\n【ファイル】%s";
inline constexpr wchar_t kNoRunYet[] =
    L"本ソフトを起動してから一度も抽出を実行されていない為、ログを表示できません。";
inline constexpr wchar_t kLogMissing[] = L"ログファイルが存在しません。\n\n【ファイル】%s";

// Log menu.
inline constexpr wchar_t kMenuShowLog[] = L"ログを表示(&L)";
inline constexpr wchar_t kMenuOpenLogFolder[] = L"ログフォルダを開く(&F)";
inline constexpr wchar_t kMenuLogTransfers[] = L"コピーや移動のログも記録(&C)";

// Settings.
inline constexpr wchar_t kSettingsWriteFailed[] = L"設定ファイルの書き込みに失敗しました\n\n%s";
inline constexpr wchar_t kCaptionError[] = L"エラー";

// Main window and folder inputs.
inline constexpr wchar_t kThreadFailed[] = L"抽出処理スレッドの作成に失敗しました。";
inline constexpr wchar_t kAlreadyListed[] = L"そのフォルダは既に登録されています";
inline constexpr wchar_t kCaptionConfirm[] = L"確認";
inline constexpr wchar_t kPickSourceTitle[] = L"追加する抽出元フォルダの選択";
inline constexpr wchar_t kPickDestinationTitle[] = L"出力先フォルダの選択";

// About box and Readme button.  The link shows "URL : " and the address.
inline constexpr wchar_t kMakerPage[] = L"https://ostrelle.example/";
inline constexpr wchar_t kLinkPrefix[] = L"URL : ";
inline constexpr wchar_t kReadmePath[] = L"%sReadme.txt";

// Preview (log menu command 2004): a run that plans the transfer and writes
// it to its log instead of doing it.
inline constexpr wchar_t kMenuPreview[] = L"抽出結果のプレビュー(&P)";
inline constexpr wchar_t kCategoryPlanned[] = L"予定";
inline constexpr wchar_t kPreviewStarted[] = L"プレビュー開始。";
inline constexpr wchar_t kPreviewFinished[] = L"プレビュー完了。";
inline constexpr wchar_t kPreviewCancelled[] = L"プレビュー中止。";
inline constexpr wchar_t kPlannedCopy[] = L"「%s」から「%s」へコピーします。";
inline constexpr wchar_t kPlannedMove[] = L"「%s」から「%s」へ移動します。";
inline constexpr wchar_t kPlannedFolder[] = L"「%s」フォルダを作成します。";
inline constexpr wchar_t kPreviewOutcomeDone[] =
    L"プレビューを完了しました。ログファイルを表示しますか？";
inline constexpr wchar_t kPreviewOutcomeCancelled[] = L"プレビューを中止しました。";

// Command line: what is shown for a bad argument when the program starts
// for a person (without /run or /preview).
inline constexpr wchar_t kBadArgument[] =
    L"コマンドラインの指定に誤りがあります。\n\n【引数】%s\n\n";
inline constexpr wchar_t kUsage[] =
    L"使い方：\n"
    L"Ostrelle.exe [/run または /preview] [/dest:出力先フォルダ] [抽出元フォルダ ...]\n\n"
    L"/run : 抽出を実行し、終わると Ostrelle を終了します。\n"
    L"/preview : 抽出結果のプレビューを実行し、終わると Ostrelle を終了します。\n"
    L"/dest:フォルダ : 出力先フォルダを指定します。\n"
    L"抽出元フォルダ : 抽出元フォルダリストに加えます（いくつでも指定できます）。\n\n"
    L"「/」の代わりに「-」も使えます。大文字と小文字は区別しません。";

}  // namespace texts
