// The cache both TLS caches keep their entries in: least recently used first out, by cost.
#include <QStringList>
#include <QTest>

#include "net/tls/lru_cache.h"

class TestLruCache : public QObject {
    Q_OBJECT
private slots:
    void keepsTheMostRecentlyUsedWithinItsCapacity_data();
    void keepsTheMostRecentlyUsedWithinItsCapacity();
};

void TestLruCache::keepsTheMostRecentlyUsedWithinItsCapacity_data()
{
    // steps, in order: "k" puts key k at cost 1, "k=3" at cost 3, "?k" finds k, "!k" peeks at
    // k, "-k" erases k.
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("maxEntryCost");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<int>("totalCost");

    const int any = -1;
    QTest::newRow("within capacity") << 3 << any << QStringList{"a", "b", "c"}
                                     << QStringList{"a", "b", "c"} << QStringList{} << 3;
    QTest::newRow("oldest goes first")
        << 2 << any << QStringList{"a", "b", "c"} << QStringList{"b", "c"} << QStringList{"a"} << 2;
    QTest::newRow("a find makes it the newest") << 2 << any << QStringList{"a", "b", "?a", "c"}
                                                << QStringList{"a", "c"} << QStringList{"b"} << 2;
    QTest::newRow("a peek leaves the order") << 2 << any << QStringList{"a", "b", "!a", "c"}
                                             << QStringList{"b", "c"} << QStringList{"a"} << 2;
    QTest::newRow("putting again replaces and renews")
        << 2 << any << QStringList{"a", "b", "a", "c"} << QStringList{"a", "c"} << QStringList{"b"}
        << 2;
    QTest::newRow("erased") << 3 << any << QStringList{"a", "b", "-a"} << QStringList{"b"}
                            << QStringList{"a"} << 1;
    QTest::newRow("a costly entry pushes out several")
        << 10 << any << QStringList{"a=4", "b=4", "c=2", "d=5"} << QStringList{"c", "d"}
        << QStringList{"a", "b"} << 7;
    QTest::newRow("an entry above the entry limit is not kept")
        << 10 << 3 << QStringList{"a=2", "b=4"} << QStringList{"a"} << QStringList{"b"} << 2;
    QTest::newRow("nor one above the whole capacity")
        << 3 << any << QStringList{"a", "b=4"} << QStringList{"a"} << QStringList{"b"} << 1;
    QTest::newRow("a replacement too costly drops the old value")
        << 10 << 3 << QStringList{"a", "a=4"} << QStringList{} << QStringList{"a"} << 0;
}

void TestLruCache::keepsTheMostRecentlyUsedWithinItsCapacity()
{
    QFETCH(int, capacity);
    QFETCH(int, maxEntryCost);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, kept);
    QFETCH(QStringList, dropped);
    QFETCH(int, totalCost);

    LruCache<QString, int> cache(size_t(capacity),
                                 maxEntryCost < 0 ? size_t(-1) : size_t(maxEntryCost));
    int nextValue = 0;
    for (const QString &step : steps) {
        const QString key = step.section(QLatin1Char('='), 0, 0);
        if (key.startsWith(QLatin1Char('?')))
            cache.find(key.mid(1));
        else if (key.startsWith(QLatin1Char('!')))
            cache.peek(key.mid(1));
        else if (key.startsWith(QLatin1Char('-')))
            cache.erase(key.mid(1));
        else
            cache.put(key, ++nextValue,
                      step.contains(QLatin1Char('='))
                          ? size_t(step.section(QLatin1Char('='), 1).toInt())
                          : 1);
    }
    for (const QString &key : kept)
        QVERIFY2(cache.peek(key), qPrintable(key));
    for (const QString &key : dropped)
        QVERIFY2(!cache.peek(key), qPrintable(key));
    QCOMPARE(cache.size(), size_t(kept.size()));
    QCOMPARE(cache.totalCost(), size_t(totalCost));
}

QTEST_GUILESS_MAIN(TestLruCache)
#include "test_lru_cache.moc"
