#pragma once
// The desktop's proxy setting as the General page imports it: Qt's system
// proxy query (environment, GNOME and KDE settings) for http, https and
// socks, written as the "http=host:port;https=host:port;socks=host:port"
// list that ParseProxyList reads.

#include <string>

#include <QList>
#include <QNetworkProxy>

// The list for the answers Qt gives to an http and an https query.
std::string ProxyListFromAnswers(const QList<QNetworkProxy>& http, const QList<QNetworkProxy>& https);
// Asks the system now; empty when it names no proxy.
std::string QuerySystemProxyList();
