#pragma once
// The web view area in one include: WebView (with its navigation and UI delegates), the website
// data store and its cookie store, and the older LegacyWebView.
#include "platform/webkit/BackForwardList.h"
#include "platform/webkit/LegacyWebView.h"
#include "platform/webkit/NavigationDelegate.h"
#include "platform/webkit/UIDelegate.h"
#include "platform/webkit/WebKitTypes.h"
#include "platform/webkit/WebView.h"
#include "platform/webkit/WebViewConfiguration.h"
#include "platform/webkit/WebsiteDataStore.h"
