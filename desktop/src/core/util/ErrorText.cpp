#include "util/ErrorText.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcErrors, "velmo.errors")

namespace ErrorText {

namespace {
QString logged(const QString &shown, const QString &original) {
    qCInfo(lcErrors).noquote() << shown << "/" << original;
    return shown;
}

QString networkText(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::NoError:
        return QString();
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("接続を拒否されました");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("相手が接続を閉じました");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("接続先が見つかりません");
    case QNetworkReply::TimeoutError:
        return QStringLiteral("応答がなく時間切れになりました");
    case QNetworkReply::OperationCanceledError:
        return QStringLiteral("通信を中断しました(応答が遅すぎるか、取り消されました)");
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("安全な接続を確立できませんでした");
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return QStringLiteral("ネットワークが一時的に使えません");
    case QNetworkReply::TooManyRedirectsError:
        return QStringLiteral("転送が多すぎます");
    case QNetworkReply::InsecureRedirectError:
        return QStringLiteral("安全でない転送先です");
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
        return QStringLiteral("プロキシに接続できません");
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return QStringLiteral("プロキシの認証が必要です");
    case QNetworkReply::ContentAccessDenied:
    case QNetworkReply::ContentOperationNotPermittedError:
        return QStringLiteral("アクセスを拒否されました");
    case QNetworkReply::ContentNotFoundError:
        return QStringLiteral("見つかりません");
    case QNetworkReply::AuthenticationRequiredError:
        return QStringLiteral("認証が必要です");
    case QNetworkReply::InternalServerError:
    case QNetworkReply::UnknownServerError:
        return QStringLiteral("相手の内部でエラーが起きました");
    case QNetworkReply::ServiceUnavailableError:
        return QStringLiteral("相手が今は応じられません");
    case QNetworkReply::ProtocolUnknownError:
    case QNetworkReply::ProtocolInvalidOperationError:
    case QNetworkReply::ProtocolFailure:
    case QNetworkReply::UnknownContentError:
        return QStringLiteral("相手の応答を理解できません");
    default:
        return QStringLiteral("通信エラーが起きました(コード %1)").arg(int(error));
    }
}
} // namespace

QString network(QNetworkReply::NetworkError error, const QString &original) {
    return logged(networkText(error), original);
}

QString process(QProcess::ProcessError error, const QString &program, const QString &original) {
    const QString name = program.isEmpty() ? QStringLiteral("プログラム") : program;
    QString shown;
    switch (error) {
    case QProcess::FailedToStart:
        shown = name + QStringLiteral(" を起動できません(見つからないか、実行が許可されていません)");
        break;
    case QProcess::Crashed:
        shown = name + QStringLiteral(" が異常終了しました");
        break;
    case QProcess::Timedout:
        shown = name + QStringLiteral(" が時間内に応答しません");
        break;
    case QProcess::WriteError:
        shown = name + QStringLiteral(" へ書き込めません");
        break;
    case QProcess::ReadError:
        shown = name + QStringLiteral(" から読み込めません");
        break;
    case QProcess::UnknownError:
    default:
        shown = name + QStringLiteral(" の実行中にエラーが起きました");
        break;
    }
    return logged(shown, original);
}

QString file(QFileDevice::FileError error, const QString &original) {
    QString shown;
    switch (error) {
    case QFileDevice::NoError:
        break;
    case QFileDevice::ReadError:
        shown = QStringLiteral("読み込めませんでした");
        break;
    case QFileDevice::WriteError:
        shown = QStringLiteral("書き込めませんでした");
        break;
    case QFileDevice::OpenError:
        shown = QStringLiteral("開けませんでした(場所と権限を確かめてください)");
        break;
    case QFileDevice::PermissionsError:
        shown = QStringLiteral("権限がありません");
        break;
    case QFileDevice::ResourceError:
        shown = QStringLiteral("空き容量などが足りません");
        break;
    default:
        shown = QStringLiteral("ファイルを扱えませんでした");
        break;
    }
    return logged(shown, original);
}

QString serverUnreachable(const QString &server) {
    return QStringLiteral("サーバー ") + server +
           QStringLiteral(" に接続できません。サーバーが動いているか、設定のサーバー URL(アドレスとポート)、"
                          "ファイアウォールを確認してください。");
}

} // namespace ErrorText
