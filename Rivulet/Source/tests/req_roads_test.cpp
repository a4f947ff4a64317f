// End-to-end roads through the session manager against the loopback server.
#include <fstream>

#include "Rivulet/Source/tests/req_support.h"
#include "platform/foundation/HTTPCookie.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/urlsession/URLError.h"

using namespace req_test;
using platform::Value;

TEST_F(RequestTest, RegistrationRoadThroughTheDefaultManager) {
    server.route("POST", "/api/vezeduduz/register", Reply::json(R"({"ok":true})"));
    const std::string url = server.url("/api/vezeduduz/register");
    auto storage = SessionManager::defaultManager()->session->configuration().HTTPCookieStorage;
    ASSERT_TRUE(storage);
    storage->setCookie(*platform::HTTPCookie::parseSetCookie("PHPSESSID=s3ss10n; Path=/", *platform::URL::string(url)));

    std::vector<std::string> seen;
    std::mutex seenMutex;
    auto& center = platform::NotificationCenter::defaultCenter();
    auto token = center.addObserver(std::nullopt, nullptr, [&](const platform::Notification& n) {
        if (n.name.rfind("org.rivulet.notification.name.task.", 0) != 0) return;
        std::lock_guard lock(seenMutex);
        std::string line = n.name.substr(35);
        if (!taskFromUserInfo(n.userInfo)) line += " without task";
        if (auto data = n.userInfo.find(NotificationKey::ResponseData)) line += " " + std::to_string(data->size());
        seen.push_back(line);
    });

    std::optional<DataResponse<Value>> got;
    bool onMain = false;
    rivulet::request(url, HTTPMethod::post, Parameters{{"player-id", "p-42"}}, JSONEncoding::Default())
        ->responseJSON(std::nullopt, {JSONReadingOptions::allowFragments}, [&](DataResponse<Value> r) {
            onMain = MainLoop::isMainThread();
            got = std::move(r);
        });
    ASSERT_TRUE(waitFor([&] { return got.has_value(); }));
    EXPECT_TRUE(onMain);
    ASSERT_TRUE(got->result().isSuccess()) << got->result().debugDescription();
    EXPECT_EQ((*got->value())["ok"], Value(true));
    ASSERT_TRUE(got->response());
    EXPECT_EQ(got->response()->statusCode(), 200);

    auto recorded = server.requestsTo("/api/vezeduduz/register");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].method, "POST");
    EXPECT_EQ(recorded[0].header("Content-Type"), "application/json");
    EXPECT_EQ(platform::json::read(recorded[0].body).value(), Value::dictionary({{"player-id", "p-42"}}));
    EXPECT_EQ(recorded[0].header("Cookie"), "PHPSESSID=s3ss10n");
    EXPECT_EQ(recorded[0].header("Accept-Encoding"), "gzip;q=1.0, compress;q=0.5");
    EXPECT_TRUE(recorded[0].header("User-Agent").has_value());

    // Handlers are released before the completion is announced: wait for the announcement too.
    auto seenCount = [&] {
        std::lock_guard lock(seenMutex);
        return seen.size();
    };
    ASSERT_TRUE(
        waitFor([&] { return seenCount() == 2 && SessionManager::defaultManager()->delegate->requestCount() == 0; }));
    std::lock_guard lock(seenMutex);
    EXPECT_EQ(seen, (std::vector<std::string>{"didResume", "didComplete 11"}));
    EXPECT_EQ(SessionManager::defaultManager()->delegate->requestCount(), 0u);
}

TEST_F(RequestTest, HandlersRunInOrderOnTheirQueuesAndLateHandlersStillRun) {
    const std::string plistBody =
        R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict><key>a</key><integer>1</integer></dict></plist>)";
    server.route("GET", "/plist", Reply::text(plistBody, 200, "application/x-plist"));
    auto worker = platform::dispatch::DispatchQueue("req.test.worker");
    Collected<std::string> order;
    std::atomic<bool> workerRight{true};
    auto r = manager->request(server.url("/plist"));
    r->responseData([&](DataResponse<platform::Bytes> d) { order.add("data " + std::to_string(d.value()->size())); })
        ->responseString(worker, std::nullopt,
                         [&](DataResponse<std::string> s) {
                             if (!worker.isCurrent()) workerRight = false;
                             order.add("string " + std::to_string(s.value() != nullptr));
                         })
        ->responsePropertyList([&](DataResponse<Value> p) { order.add("plist " + (*p.value())["a"].description()); })
        ->response([&](DefaultDataResponse d) { order.add("default " + std::to_string(d.response()->statusCode())); });
    ASSERT_TRUE(waitFor([&] { return order.size() == 4; }));
    EXPECT_TRUE(workerRight);
    auto items = order.items();
    // The main-queue ones keep their order among themselves.
    std::vector<std::string> onMain;
    for (auto& i : items)
        if (i.rfind("string", 0) != 0) onMain.push_back(i);
    EXPECT_EQ(onMain, (std::vector<std::string>{"data " + std::to_string(plistBody.size()), "plist 1", "default 200"}));

    // Added after completion: runs at once, never inside the call.
    bool late = false;
    r->responseJSON([&](DataResponse<Value> j) { late = j.result().isFailure(); });
    EXPECT_FALSE(late);
    ASSERT_TRUE(waitFor([&] { return late; }));
}

TEST_F(RequestTest, FailedFactoriesAnswerARequestOfTheirKindCarryingTheError) {
    struct Case {
        std::string name;
        std::function<std::shared_ptr<Request>()> make;
        bool keepsRequest;
    };
    Parameters bad{{"x", std::numeric_limits<double>::quiet_NaN()}};
    std::vector<Case> cases = {
        {"data, bad url", [&] { return manager->request("http://bad host/"); }, false},
        {"data, bad encoding",
         [&] { return manager->request(server.url("/"), HTTPMethod::post, bad, JSONEncoding::Default()); }, true},
        {"download, bad encoding",
         [&] {
             return manager->download(server.url("/"), HTTPMethod::post, bad, JSONEncoding::Default(), std::nullopt);
         },
         false},
        {"upload, bad url", [&] { return manager->upload(platform::Bytes{1}, "http://bad host/"); }, false},
    };
    for (auto& c : cases) {
        auto r = c.make();
        EXPECT_FALSE(r->task()) << c.name;
        EXPECT_EQ(r->request().has_value(), c.keepsRequest) << c.name;
        auto err = r->delegate()->error();
        ASSERT_TRUE(err) << c.name;
        EXPECT_TRUE(err->as<RVError>()) << c.name;
        r->cancel();  // no task: nothing happens
        std::optional<DefaultDataResponse> got;
        if (auto d = std::dynamic_pointer_cast<DataRequest>(r)) {
            d->response([&](DefaultDataResponse x) { got = std::move(x); });
            ASSERT_TRUE(waitFor([&] { return got.has_value(); })) << c.name;
            EXPECT_TRUE(got->error()) << c.name;
        }
    }
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(manager->delegate->requestCount(), 0u);
}

TEST_F(RequestTest, UnstartedRequestsWaitForResume) {
    server.route("GET", "/", Reply::text("hi"));
    manager->setStartRequestsImmediately(false);
    std::optional<std::string> a, b;
    auto ok = manager->request(server.url("/"));
    auto failed = manager->request("http://bad host/");
    ok->responseString([&](DataResponse<std::string> r) { a = r.value() ? *r.value() : "?"; });
    failed->responseString(
        [&](DataResponse<std::string> r) { b = r.error() ? r.error()->localizedDescription() : "?"; });
    MainLoop::shared().runUntilIdle();
    EXPECT_FALSE(a || b);
    EXPECT_EQ(server.requestCount(), 0u);
    ok->resume();
    failed->resume();
    ASSERT_TRUE(waitFor([&] { return a && b; }));
    EXPECT_EQ(*a, "hi");
    EXPECT_EQ(*b, "URL is not valid: http://bad host/");
    EXPECT_TRUE(ok->startTime() && ok->endTime() && *ok->endTime() >= *ok->startTime());
}

TEST_F(RequestTest, DownloadMovesTheFileAndNeverLetsTheServerPickThePath) {
    server.route("GET", "/file",
                 Reply::text("payload").header("Content-Disposition", "attachment; filename=\"../../evil.txt\""));
    std::optional<std::string> path;
    std::optional<std::string> error;
    auto r = manager->download(URLRequestConvertible(platform::URLRequest(*platform::URL::string(server.url("/file")))),
                               DownloadRequest::suggestedDownloadDestination());
    r->downloadProgress(platform::dispatch::DispatchQueue::main(), [](const Progress&) {});
    std::atomic<bool> done(false);
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        NotificationName::Task::DidComplete, manager->delegate.get(),
        [&](const platform::Notification&) { done = true; });
    ASSERT_TRUE(waitFor([&] { return done.load(); }));
    auto d = std::static_pointer_cast<DownloadTaskDelegate>(r->delegate());
    if (auto e = d->error()) error = e->description();
    ASSERT_FALSE(error) << *error;
    auto dest = d->destinationURL();
    ASSERT_TRUE(dest);
    auto docs = platform::FileManager::defaultManager().directory(platform::SearchPathDirectory::Documents).value();
    EXPECT_EQ(dest->path().rfind(docs, 0), 0u) << dest->path();
    EXPECT_EQ(dest->lastPathComponent(), "evil.txt");
    EXPECT_EQ(dest->path().find(".."), std::string::npos);
    std::ifstream in(dest->path());
    std::string body((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(body, "payload");
    EXPECT_EQ(d->fileURL(), dest);
}

TEST_F(RequestTest, UploadsFromDataFileAndStream) {
    server.route("PUT", "/up", Reply::dynamic([](const tesmar_testing::RecordedRequest& rq, Reply& r) {
                     r.body = "got " + rq.body;
                 }));
    const std::string file = device.path() + "/body.txt";
    std::ofstream(file) << "from file";
    struct Case {
        std::string name;
        std::function<std::shared_ptr<UploadRequest>()> make;
        std::string expected;
    };
    std::vector<Case> cases = {
        {"data",
         [&] {
             return manager->upload(platform::Bytes{'a', 'b'}, server.url("/up"), HTTPMethod::put);
         },
         "got ab"},
        {"file", [&] { return manager->upload(platform::URL::fileURL(file), server.url("/up"), HTTPMethod::put); },
         "got from file"},
        {"stream",
         [&] {
             return manager->upload(platform::InputStream::withData(platform::Bytes{'s', 't'}), server.url("/up"),
                                    HTTPMethod::put);
         },
         "got st"},
    };
    for (auto& c : cases) {
        std::optional<std::string> got;
        auto r = c.make();
        r->responseString(
            [&](DataResponse<std::string> s) { got = s.value() ? *s.value() : s.error()->description(); });
        ASSERT_TRUE(waitFor([&] { return got.has_value(); })) << c.name;
        EXPECT_EQ(*got, c.expected) << c.name;
        EXPECT_GT(r->uploadProgress()->completedUnitCount(), 0) << c.name;
    }
}

TEST_F(RequestTest, StreamRequestMakesATaskForHostAndPort) {
    // The request side only; req_stream_test.cpp talks over one.
    auto r = rivulet::SessionManager::make()->stream("127.0.0.1", server.port());
    auto task = std::dynamic_pointer_cast<platform::URLSessionStreamTask>(r->task());
    ASSERT_TRUE(task);
    EXPECT_EQ(task->host(), "127.0.0.1");
    EXPECT_EQ(task->port(), server.port());
    EXPECT_EQ(r->kind(), RequestTask::Kind::stream);
    EXPECT_FALSE(r->request());
    EXPECT_TRUE(r->startTime());
    r->cancel();
}

TEST_F(RequestTest, SyncFromTheManagersOwnQueueRunsInline) {
    server.route("GET", "/", Reply::text("ok"));
    std::shared_ptr<DataRequest> r;
    manager->queue.sync([&] { r = manager->request(server.url("/")); });
    ASSERT_TRUE(r && r->task());
    std::optional<std::string> got;
    r->responseString([&](DataResponse<std::string> s) { got = *s.value(); });
    ASSERT_TRUE(waitFor([&] { return got.has_value(); }));
    EXPECT_EQ(*got, "ok");
}

TEST_F(RequestTest, NeedNewBodyStreamForAnUnknownTaskIsAnswered) {
    platform::URLRequest post(*platform::URL::string(server.url("/")));
    post.setHTTPMethod("POST");
    auto task = manager->session->uploadTaskWithStreamedRequest(post);
    Collected<std::optional<AnyError>> completed;
    manager->delegate->setTaskDidComplete(
        [&](const SessionPtr&, const TaskPtr&, const std::optional<AnyError>& e) { completed.add(e); });
    task->resume();
    ASSERT_TRUE(waitFor([&] { return completed.size() == 1; }));
    auto e = completed.items()[0];
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->bridged().code, int64_t(platform::URLErrorCode::CannotOpenFile));
}

TEST_F(RequestTest, BackgroundManagerCallsItsCompletionHandlerOnTheMainQueueOnceTheTaskIsDone) {
    server.route("GET", "/", Reply::text("hi"));
    auto background = SessionManager::make(
        platform::URLSessionConfiguration::backgroundSessionConfiguration("com.tesmar.test.rivulet-background"));
    // Started once the report below is in place: the whole exchange may be over before the next line runs.
    background->setStartRequestsImmediately(false);
    auto request = background->request(server.url("/"));
    std::optional<std::string> body;
    std::optional<platform::URLSessionTaskState> stateWhenDone;
    background->setBackgroundCompletionHandler([&] {
        EXPECT_TRUE(MainLoop::isMainThread());
        stateWhenDone = request->task()->state();
    });
    // The owner lets go of the manager right after the session's report, before the main queue runs.
    auto delegate = background->delegate;
    auto report = delegate->sessionDidFinishEventsForBackgroundURLSession();
    std::mutex ownerMutex;
    std::shared_ptr<SessionManager> owner = std::exchange(background, nullptr);
    bool ownerLetGo = false;
    delegate->setSessionDidFinishEventsForBackgroundURLSession([&, report](const SessionPtr& session) {
        report(session);
        std::lock_guard lock(ownerMutex);
        owner.reset();
        ownerLetGo = true;
    });
    request->responseString([&](DataResponse<std::string> r) { body = r.value() ? *r.value() : "?"; });
    request->resume();
    // The main queue can run the completion handler before the report returns: the test's locals outlive both.
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(ownerMutex);
        return body && stateWhenDone && ownerLetGo;
    }));
    EXPECT_EQ(*body, "hi");
    EXPECT_EQ(*stateWhenDone, platform::URLSessionTaskState::Completed);
}

TEST_F(RequestTest, ADataRequestThatBecomesADownloadMovesToItsNewTaskAndReadsItsProgress) {
    server.route("GET", "/file", Reply::text(std::string(300 * 1024, 'f')));
    manager->delegate->setDataTaskDidReceiveResponse(
        [](const SessionPtr&, const DataTaskPtr&, const std::shared_ptr<const platform::URLResponse>&) {
            return platform::URLSessionResponseDisposition::BecomeDownload;
        });
    // Started only once its data task is noted: the whole exchange may be over before the next line runs.
    manager->setStartRequestsImmediately(false);
    auto request = manager->request(server.url("/file"));
    const auto dataTask = request->task();
    std::optional<DefaultDataResponse> done;
    request->response([&](DefaultDataResponse r) { done = std::move(r); });
    request->resume();
    ASSERT_TRUE(waitFor([&] { return done.has_value(); }));
    EXPECT_FALSE(done->error()) << done->error()->description();
    EXPECT_NE(request->task(), dataTask);
    EXPECT_TRUE(std::dynamic_pointer_cast<platform::URLSessionDownloadTask>(request->task()));
    // Both entries are gone: the new task's at its completion, the old one's when it was replaced.
    EXPECT_TRUE(waitFor([&] { return manager->delegate->requestCount() == 0; }));
    // The accessors read the download's delegate; they neither crash nor stream.
    EXPECT_EQ(request->progress()->completedUnitCount(), 300 * 1024);
    request->stream([](const platform::Bytes&) {});
    bool progressed = false;
    request->downloadProgress(platform::dispatch::DispatchQueue::main(), [&](const Progress&) { progressed = true; });
    EXPECT_FALSE(progressed);
}
