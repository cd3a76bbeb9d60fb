<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>Texts</name>
    <message>
        <source>open the connection, say which of diskinfo and BD_Material can be read, and what will make a job slow or unsafe there (missing indexes, triggers, an identity DiskID, collations)</source>
        <translation>打开连接，说明 diskinfo 和 BD_Material 中哪些可读，以及哪些情况会使任务变慢或不安全（缺少索引、触发器、标识列 DiskID、排序规则）</translation>
    </message>
    <message>
        <source>connected: %1</source>
        <translation>已连接：%1</translation>
    </message>
    <message>
        <source>%1: readable (%2)</source>
        <translation>%1：可读（%2）</translation>
    </message>
    <message>
        <source>%1: cannot be read: %2</source>
        <translation>%1：无法读取：%2</translation>
    </message>
    <message>
        <source>chongma-cli: the database holds neither diskinfo nor BD_Material</source>
        <translation>chongma-cli：数据库中既没有 diskinfo 也没有 BD_Material</translation>
    </message>
    <message>
        <source>indexed</source>
        <translation>有索引</translation>
    </message>
    <message>
        <source>no index</source>
        <translation>无索引</translation>
    </message>
    <message>
        <source>%1: triggers: %2</source>
        <translation>%1：触发器：%2</translation>
    </message>
    <message>
        <source>none</source>
        <translation>无</translation>
    </message>
    <message>
        <source>warning: </source>
        <translation>警告：</translation>
    </message>
    <message>
        <source>rows</source>
        <translation>行</translation>
    </message>
    <message>
        <source>clear: delete without asking.</source>
        <translation>clear：不询问，直接删除。</translation>
    </message>
    <message>
        <source>clear: where to write del.log (default: beside this program).</source>
        <translation>clear：del.log 的写入位置（默认：本程序所在目录）。</translation>
    </message>
    <message>
        <source>clear: the backup file of the deleted rows (default: backup/diskinfo-YYYYMMDD-HHMMSS.csv beside del.log).</source>
        <translation>clear：被删除行的备份文件（默认：del.log 所在目录下的 backup/diskinfo-YYYYMMDD-HHMMSS.csv）。</translation>
    </message>
    <message>
        <source>searching</source>
        <translation>正在查找</translation>
    </message>
    <message>
        <source>the search was cancelled; nothing deleted</source>
        <translation>查找已取消；未删除任何行</translation>
    </message>
    <message>
        <source>%1 duplicated barcodes, %2 rows picked for removal</source>
        <translation>%1 个重复条码，%2 行选定删除</translation>
    </message>
    <message>
        <source>chongma-cli: %1 -- no terminal to answer on; nothing deleted (use --yes)</source>
        <translation>chongma-cli：%1 —— 没有可以回答的终端；未删除任何行（可用 --yes）</translation>
    </message>
    <message>
        <source>nothing deleted</source>
        <translation>未删除任何行</translation>
    </message>
    <message>
        <source>deleting</source>
        <translation>正在删除</translation>
    </message>
    <message>
        <source>chongma-cli: DiskID %1 was not deleted: %2</source>
        <translation>chongma-cli：DiskID %1 未删除：%2</translation>
    </message>
    <message>
        <source>%1 deleted, %2 no longer there, %3 not deleted</source>
        <translation>已删除 %1 行，%2 行已不存在，%3 行未删除</translation>
    </message>
    <message>
        <source>backup of %1 rows: %2</source>
        <translation>%1 行的备份：%2</translation>
    </message>
    <message>
        <source>wrote %1</source>
        <translation>已写入 %1</translation>
    </message>
    <message>
        <source>the removal was cancelled</source>
        <translation>删除已取消</translation>
    </message>
    <message>
        <source>insert back every row of a backup that diskinfo does not hold (by DiskID and Bar)</source>
        <translation>把备份中 diskinfo 没有的每一行（按 DiskID 和 Bar）插回去</translation>
    </message>
    <message>
        <source>import, restore: look only; write nothing.</source>
        <translation>import、restore：只查看，不写入。</translation>
    </message>
    <message>
        <source>restoring</source>
        <translation>正在恢复</translation>
    </message>
    <message>
        <source>the restore was cancelled; nothing was restored</source>
        <translation>恢复已取消；未恢复任何行</translation>
    </message>
    <message>
        <source>%1 %2 rows, %3 already there</source>
        <translation>%1 %2 行，%3 行已存在</translation>
    </message>
    <message>
        <source>would restore</source>
        <translation>将恢复</translation>
    </message>
    <message>
        <source>restored</source>
        <translation>已恢复</translation>
    </message>
    <message>
        <source>cannot connect: %1</source>
        <translation>无法连接：%1</translation>
    </message>
    <message>
        <source>
Commands:
</source>
        <translation>
命令：
</translation>
    </message>
    <message>
        <source>
The data link (disk.udl) defaults to the one beside this program, as the window&apos;s.
Ctrl+C (or SIGTERM) stops a command at its next row, batch or line; what was done stays done.
Exit codes: 0 done; 1 failed (the reason on stderr); 2 bad usage, or clear with no terminal to
ask on and without --yes (nothing deleted); 3 done, but rows were refused by the database
(clear) or text after a NUL byte was not read (import); 130 cancelled by Ctrl+C or SIGTERM.
</source>
        <translation>
数据链接（disk.udl）默认使用本程序所在目录中的那个，与窗口相同。
Ctrl+C（或 SIGTERM）在下一行、下一批或下一个文本行处停止命令；已完成的保持完成。
退出码：0 完成；1 失败（原因见 stderr）；2 用法错误，或 clear 没有可询问的终端且未给 --yes
（未删除任何行）；3 完成，但有行被数据库拒绝（clear），或 NUL 字节之后的文本未读取
（import）；130 被 Ctrl+C 或 SIGTERM 取消。
</translation>
    </message>
    <message>
        <source>Finds and clears duplicate barcodes in diskinfo and imports material records, as the chongma window does.</source>
        <translation>查找并清除 diskinfo 中的重复条码，并导入物料记录，与 chongma 窗口相同。</translation>
    </message>
    <message>
        <source>Data link file to connect with (default: disk.udl beside this program).</source>
        <translation>用于连接的数据链接文件（默认：本程序所在目录中的 disk.udl）。</translation>
    </message>
    <message>
        <source>Time limit of every statement in seconds, 0 for none (default: the data link&apos;s Command Timeout, else 30).</source>
        <translation>每条语句的时间限制（秒），0 表示不限（默认：数据链接的 Command Timeout，否则为 30）。</translation>
    </message>
    <message>
        <source>One of the commands below.</source>
        <translation>下列命令之一。</translation>
    </message>
    <message>
        <source>chongma-cli: no command given</source>
        <translation>chongma-cli：未给出命令</translation>
    </message>
    <message>
        <source>chongma-cli: wrong number of arguments for %1</source>
        <translation>chongma-cli：%1 的参数个数不对</translation>
    </message>
    <message>
        <source>chongma-cli: option --%1 does not apply to %2</source>
        <translation>chongma-cli：选项 --%1 不适用于 %2</translation>
    </message>
    <message>
        <source>chongma-cli: --timeout takes a number of seconds (0 or more)</source>
        <translation>chongma-cli：--timeout 需要一个秒数（0 或更大）</translation>
    </message>
    <message>
        <source>chongma-cli: unknown command &apos;%1&apos;</source>
        <translation>chongma-cli：未知命令“%1”</translation>
    </message>
    <message>
        <source>list every duplicated barcode and the DiskID picked for removal: &quot;barcode&lt;TAB&gt;DiskID&quot; (&quot;-&quot;: no row can be picked), or with --json one object per line (with a &quot;reason&quot; where there is no id)</source>
        <translation>列出每个重复条码及选定删除的 DiskID：“条码&lt;TAB&gt;DiskID”（“-”：没有可选的行），或用 --json 每行一个对象（没有 id 时带“reason”）</translation>
    </message>
    <message>
        <source>find, import: one JSON object per line.</source>
        <translation>find、import：每行一个 JSON 对象。</translation>
    </message>
    <message>
        <source>the search was cancelled</source>
        <translation>查找已取消</translation>
    </message>
    <message>
        <source>import a material file into BD_Material, as the window does</source>
        <translation>把物料文件导入 BD_Material，与窗口相同</translation>
    </message>
    <message>
        <source>import: the source&apos;s encoding: auto (default: a byte-order mark, else UTF-8 when the text is valid UTF-8 with non-ASCII characters, else GBK), gbk, utf-8, utf-16le or utf-16be.</source>
        <translation>import：源文件的编码：auto（默认：按字节顺序标记；否则文本是含非 ASCII 字符的有效 UTF-8 时为 UTF-8，再否则为 GBK）、gbk、utf-8、utf-16le 或 utf-16be。</translation>
    </message>
    <message>
        <source>chongma-cli: --encoding takes auto, gbk, utf-8, utf-16le or utf-16be</source>
        <translation>chongma-cli：--encoding 可取 auto、gbk、utf-8、utf-16le 或 utf-16be</translation>
    </message>
    <message>
        <source>(dry run: nothing was inserted)</source>
        <translation>（试运行：未插入任何行）</translation>
    </message>
    <message>
        <source>source read as %1%2</source>
        <translation>源文件按 %1 读取%2</translation>
    </message>
    <message>
        <source>, converted to GBK</source>
        <translation>，已转换为 GBK</translation>
    </message>
    <message>
        <source>the import was cancelled after %1 of %2 lines</source>
        <translation>导入在 %2 行中的第 %1 行之后取消</translation>
    </message>
    <message>
        <source>chongma-cli: a NUL byte at offset %1 ended the text; %2 after it were not read</source>
        <translation>chongma-cli：偏移 %1 处的 NUL 字节结束了文本；其后的 %2 未读取</translation>
    </message>
    <message>
        <source>%1 bytes</source>
        <translation>%1 字节</translation>
    </message>
    <message>
        <source>the bytes</source>
        <translation>字节</translation>
    </message>
    <message>
        <source>%1: %2 of %3 %4</source>
        <translation>%1：%2 / %3 %4</translation>
    </message>
    <message>
        <source>, %1 left</source>
        <translation>，剩余 %1</translation>
    </message>
    <message>
        <source>import SOURCE whenever it has changed and held still (default: look every 10 s; --once waits up to a minute for a file still being written)</source>
        <translation>每当 SOURCE 有变化并且不再变动时导入它（默认：每 10 秒查看一次；--once 对仍在写入的文件最多等待一分钟）</translation>
    </message>
    <message>
        <source>watch: seconds between two looks at the file (default 10, at least 0.1).</source>
        <translation>watch：两次查看文件之间的秒数（默认 10，至少 0.1）。</translation>
    </message>
    <message>
        <source>watch: import the file once it holds still, then exit.</source>
        <translation>watch：文件不再变动时导入一次，然后退出。</translation>
    </message>
    <message>
        <source>watch: the config.ini to keep the last imported time in (default: beside this program).</source>
        <translation>watch：保存上次导入时间的 config.ini（默认：本程序所在目录）。</translation>
    </message>
    <message>
        <source>chongma-cli: --every takes a number of seconds above 0</source>
        <translation>chongma-cli：--every 需要一个大于 0 的秒数</translation>
    </message>
    <message>
        <source>chongma-cli: %1 was still being written after %2 s; nothing imported</source>
        <translation>chongma-cli：%2 秒后 %1 仍在写入；未导入任何内容</translation>
    </message>
    <message>
        <source>watching %1 every %2 s (config %3); Ctrl+C stops</source>
        <translation>正在监视 %1，每 %2 秒一次（配置 %3）；Ctrl+C 停止</translation>
    </message>
    <message>
        <source>stopped</source>
        <translation>已停止</translation>
    </message>
</context>
</TS>
