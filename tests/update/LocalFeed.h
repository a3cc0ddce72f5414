#pragma once

// A small HTTPS server on 127.0.0.1 that plays the update feed for the controller tests. Each path
// has a canned answer; an answer can stop after its first bytes (the rest is sent by release()) or
// close the connection there. The certificate is made for the run and trusted process-wide.
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QUrl>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

class LocalFeed
{
public:
    struct Answer
    {
        int status = 200;
        QByteArray body;
        QByteArray headers;   // extra header lines, each ending in "\r\n"
        qsizetype first = -1; // send only this many body bytes at first (-1: all)
        bool closeAfterFirst = false;
    };

    LocalFeed()
    {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(certificate());
        configuration.setPrivateKey(privateKey());
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_server.setSslConfiguration(configuration);
        QObject::connect(&m_server, &QTcpServer::pendingConnectionAvailable, &m_server, [this] {
            while (auto *socket = qobject_cast<QSslSocket *>(m_server.nextPendingConnection()))
                serve(socket);
        });
        m_server.listen(QHostAddress::LocalHost);
    }

    // Makes the run's certificate trusted by every later request of this process.
    static void trust()
    {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificate(certificate());
        QSslConfiguration::setDefaultConfiguration(configuration);
    }

    QUrl base() const
    {
        return QUrl(QStringLiteral("https://127.0.0.1:%1/updates/").arg(m_server.serverPort()));
    }

    void answer(const QString &path, const Answer &answer) { m_answers[path] = answer; }
    // An answer for the next request of path only; later requests get the standing answer again.
    void answerOnce(const QString &path, const Answer &answer) { m_once[path].append(answer); }

    // Sends the held rest of every answer that stopped after its first bytes.
    void release()
    {
        for (const auto &[socket, rest] : std::as_const(m_held)) {
            if (socket) {
                socket->write(rest);
                socket->disconnectFromHost();
            }
        }
        m_held.clear();
    }

    QStringList requests;
    QList<QByteArray> userAgents;

private:
    struct Material
    {
        QSslCertificate certificate;
        QSslKey key;
    };

    static const Material &material()
    {
        static const Material made = make();
        return made;
    }
    static QSslCertificate certificate() { return material().certificate; }
    static QSslKey privateKey() { return material().key; }

    static Material make()
    {
        EVP_PKEY *key = EVP_EC_gen("P-256");
        X509 *cert = X509_new();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_set_pubkey(cert, key);
        X509_NAME *name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
        for (const auto &[nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                                         std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
            X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
            X509_add_ext(cert, extension, -1);
            X509_EXTENSION_free(extension);
        }
        X509_sign(cert, key, EVP_sha256());
        BIO *certText = BIO_new(BIO_s_mem());
        BIO *keyText = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(certText, cert);
        PEM_write_bio_PrivateKey(keyText, key, nullptr, nullptr, 0, nullptr, nullptr);
        const auto read = [](BIO *bio) {
            char *data = nullptr;
            const long length = BIO_get_mem_data(bio, &data);
            return QByteArray(data, length);
        };
        Material made{QSslCertificate(read(certText)), QSslKey(read(keyText), QSsl::Ec)};
        BIO_free(certText);
        BIO_free(keyText);
        X509_free(cert);
        EVP_PKEY_free(key);
        return made;
    }

    void serve(QSslSocket *socket)
    {
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QSslSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            buffer->clear();
            const QString path = QString::fromLatin1(lines.value(0).split(' ').value(1));
            requests << path;
            for (const QByteArray &line : lines) {
                if (line.toLower().startsWith("user-agent:"))
                    userAgents << line.mid(11).trimmed();
            }
            if (!m_once.value(path).isEmpty())
                respond(socket, m_once[path].takeFirst());
            else
                respond(socket, m_answers.value(path, Answer{404, QByteArrayLiteral("not here")}));
        });
    }

    void respond(QSslSocket *socket, const Answer &answer)
    {
        socket->write("HTTP/1.1 " + QByteArray::number(answer.status) + " Answer\r\nContent-Length: "
                      + QByteArray::number(answer.body.size()) + "\r\nConnection: close\r\n" + answer.headers + "\r\n");
        if (answer.first < 0) {
            socket->write(answer.body);
            socket->disconnectFromHost();
            return;
        }
        socket->write(answer.body.left(answer.first));
        if (answer.closeAfterFirst)
            socket->disconnectFromHost();
        else
            m_held.append({QPointer<QSslSocket>(socket), answer.body.mid(answer.first)});
    }

    QSslServer m_server;
    QHash<QString, Answer> m_answers;
    QHash<QString, QList<Answer>> m_once;
    QList<std::pair<QPointer<QSslSocket>, QByteArray>> m_held;
};
