#include "KestroCore/Platform/Extension/ItemProvider.h"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <thread>

namespace kestro {
namespace {

using Item = ItemProvider::Item;

struct Delivery {
  std::optional<Item> item;
  bool hasError = false;
  std::thread::id thread;
};

// Loads an item and waits for its completion. A second call of the completion would throw
// here, on the load's thread, and end the test program.
Delivery load(ItemProvider& provider, std::string_view type) {
  auto done = std::make_shared<std::promise<Delivery>>();
  std::future<Delivery> delivery = done->get_future();
  provider.loadItem(type, [done](std::optional<Item> item, std::exception_ptr error) {
    done->set_value({std::move(item), error != nullptr, std::this_thread::get_id()});
  });
  return delivery.get();
}

TEST(ItemProviderTest, EveryLoadCompletesOnceOnAThreadOfItsOwn) {
  auto provider = std::make_shared<ItemProvider>();
  provider->registerItem("public.plain-text", [](const auto& completion) {
    completion(Item(std::string("first")), nullptr);
    completion(Item(std::string("second")), nullptr);
  });
  provider->registerItem("public.html", [](const auto&) { throw std::runtime_error("broken"); });
  provider->registerItem("public.json", [](const auto&) {});
  // A handler that keeps its completion and calls it after returning is too late, and harmless.
  auto kept = std::make_shared<ItemProvider::ItemCompletion>();
  provider->registerItem("public.xml", [kept](const auto& completion) { *kept = completion; });

  const Delivery twice = load(*provider, "public.plain-text");
  EXPECT_EQ(twice.item, Item(std::string("first")));
  EXPECT_FALSE(twice.hasError);
  EXPECT_NE(twice.thread, std::this_thread::get_id());
  for (const char* type : {"public.html", "public.json", "public.png", "public.xml"}) {
    const Delivery failed = load(*provider, type);
    EXPECT_TRUE(failed.hasError && !failed.item) << type;
  }
  (*kept)(Item(std::string("late")), nullptr);

  auto calls = std::make_shared<std::atomic<int>>(0);
  provider->loadItem("public.plain-text", [calls](auto, auto) { ++*calls; });
  provider.reset();  // waits for the load's thread
  EXPECT_EQ(*calls, 1);
}

TEST(ItemProviderTest, HandlersAreFoundByIdentifierByTypeAndByConformance) {
  ItemProvider provider;
  const URL file = *URL::fromString("file:///tmp/a.png");
  provider.registerItem("public.file-url",
                        [&](const auto& completion) { completion(Item(file), nullptr); });
  provider.registerFileRepresentation("image/png",
                                      [&](const auto& completion) { completion(file, nullptr); });
  provider.registerItem("image/png", [](const auto& completion) {
    completion(Item(ItemProvider::Data{1, 2, 3}), nullptr);
  });

  EXPECT_EQ(provider.registeredTypeIdentifiers(),
            (std::vector<std::string>{"public.file-url", "image/png"}));
  EXPECT_TRUE(provider.hasItemConformingToTypeIdentifier("public.image"));
  EXPECT_FALSE(provider.hasItemConformingToTypeIdentifier("public.text"));

  EXPECT_EQ(load(provider, "public.url").item, Item(file));
  EXPECT_EQ(load(provider, "public.png").item, Item(ItemProvider::Data{1, 2, 3}));

  std::promise<std::optional<URL>> lent;
  provider.loadFileRepresentation("public.png", [&](std::optional<URL> url, std::exception_ptr) {
    lent.set_value(std::move(url));
  });
  EXPECT_EQ(lent.get_future().get(), file);
}

}  // namespace
}  // namespace kestro
