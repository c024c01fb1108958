#include "ui/SystemProxy.h"

#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
#include <QUrl>

namespace {

std::string Entry(const char* scheme, const QNetworkProxy& proxy) {
    return std::string(scheme) + "=" + proxy.hostName().toStdString() + ":" +
           std::to_string(proxy.port());
}

void Append(std::string& list, const std::string& entry) {
    if (!list.empty())
        list += ";";
    list += entry;
}

} // namespace

std::string ProxyListFromAnswers(const QList<QNetworkProxy>& http,
                                 const QList<QNetworkProxy>& https) {
    std::string list;
    std::string socks;
    // The first answer of each kind is the one the desktop would use.
    auto take = [&](const QList<QNetworkProxy>& answers, const char* scheme) {
        bool haveHttp = false;
        for (const QNetworkProxy& proxy : answers) {
            if (proxy.type() == QNetworkProxy::HttpProxy && !haveHttp) {
                Append(list, Entry(scheme, proxy));
                haveHttp = true;
            } else if (proxy.type() == QNetworkProxy::Socks5Proxy && socks.empty()) {
                socks = Entry("socks", proxy);
            }
        }
    };
    take(http, "http");
    take(https, "https");
    if (!socks.empty())
        Append(list, socks);
    return list;
}

std::string QuerySystemProxyList() {
    // A name that no no_proxy rule exempts, so that the answer is the
    // desktop's general setting.
    const QUrl httpTarget(QStringLiteral("http://proxy-query.invalid/"));
    const QUrl httpsTarget(QStringLiteral("https://proxy-query.invalid/"));
    return ProxyListFromAnswers(
        QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(httpTarget)),
        QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(httpsTarget)));
}
